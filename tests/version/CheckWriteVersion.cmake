# cmake -DWRITE_VERSION=core/WriteVersion.cmake -DTEMPLATE=core/Version.cpp.in -DWORK_DIR=... -P ...
# The version source names the commit of its own checkout, changes when HEAD moves, is left
# untouched (same time stamp) while HEAD stays, and says nothing of a commit outside git or in a
# directory that is only inside some other checkout.
file(REMOVE_RECURSE ${WORK_DIR})
set(repo ${WORK_DIR}/repo)
file(MAKE_DIRECTORY ${repo}/nested)
set(out ${WORK_DIR}/Version.cpp)

function(git)
    execute_process(COMMAND git -C ${repo} -c user.name=t -c user.email=t@example.org ${ARGN}
                    OUTPUT_VARIABLE stdout OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(stdout "${stdout}" PARENT_SCOPE)
endfunction()

function(write_version source)
    execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${source} -DVERSION=9.8.7 -DINPUT=${TEMPLATE}
                            -DOUTPUT=${out} -P ${WRITE_VERSION} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(expect_commit commit)
    file(READ ${out} text)
    if(NOT text MATCHES "return \"9\\.8\\.7\";" OR NOT text MATCHES "return \"${commit}\";")
        message(FATAL_ERROR "expected version 9.8.7 and commit \"${commit}\" in:\n${text}")
    endif()
endfunction()

# Outside any checkout.
write_version(${repo})
expect_commit("")

git(init -q)
file(WRITE ${repo}/a.txt "a\n")
git(add a.txt)
git(commit -q -m first)
git(rev-parse --short=7 HEAD)
set(first ${stdout})
write_version(${repo})
expect_commit(${first})

# HEAD unchanged: the file is not rewritten, so nothing is rebuilt.
file(TIMESTAMP ${out} before "%s")
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
write_version(${repo})
file(TIMESTAMP ${out} after "%s")
if(NOT before STREQUAL after)
    message(FATAL_ERROR "the version source was rewritten although HEAD did not move")
endif()

git(commit -q --allow-empty -m second)
git(rev-parse --short=7 HEAD)
if(stdout STREQUAL first)
    message(FATAL_ERROR "test setup: the second commit has the first one's hash")
endif()
write_version(${repo})
expect_commit(${stdout})

# A source tree that only lies inside another checkout (an unpacked archive) has no commit.
write_version(${repo}/nested)
expect_commit("")
