# cmake -DSOURCE_DIR=... -DVERSION=... -DINPUT=Version.cpp.in -DOUTPUT=Version.cpp -P WriteVersion.cmake
#
# Runs at every build: writes OUTPUT with the version and the commit of SOURCE_DIR, touching it
# only when the text changes, so a new commit rebuilds the version source and nothing else does.
# Outside a git checkout of SOURCE_DIR itself (a source archive, even one unpacked inside some
# other repository) the commit is left empty.
set(KIVRA_VERSION "${VERSION}")
set(KIVRA_COMMIT "")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                    OUTPUT_VARIABLE top RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0)
        file(REAL_PATH "${top}" top)
        file(REAL_PATH "${SOURCE_DIR}" source)
        if(top STREQUAL source)
            execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=7 HEAD
                            OUTPUT_VARIABLE commit RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE
                            ERROR_QUIET)
            if(rc EQUAL 0 AND commit MATCHES "^[0-9a-f]+$")
                set(KIVRA_COMMIT "${commit}")
            endif()
        endif()
    endif()
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)
