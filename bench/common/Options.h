#pragma once
// The command line of the timing programs: "--name value" pairs and "--help".

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

namespace kivra::bench {

using OptionSetters = std::map<std::string, std::function<void(const std::string& value)>>;

//! Hands the value of each "--name value" pair to the setter of its name. "--help" prints usage
//! and ends the program; a name without a setter, or without a value, ends it with status 2.
inline void ParseNamedOptions(int argc, char** argv, const char* usage, const OptionSetters& setters)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            std::puts(usage);
            std::exit(0);
        }
        const auto setter = setters.find(name);
        if (setter == setters.end() || i + 1 >= argc) {
            std::fprintf(stderr, "%s: %s %s\n%s\n", argv[0],
                         setter == setters.end() ? "unknown option" : "no value for", name.c_str(), usage);
            std::exit(2);
        }
        setter->second(argv[++i]);
    }
}

} // namespace kivra::bench
