// The command line of the technician's tools: words, options with a value,
// and --help, -h and --version, in any order; "--" ends the options.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "config.h"

namespace rz {

constexpr int kExitUsage = 2;

struct Option {
    Option(const char* longForm, const char* shortForm, bool isSwitch = false)
        : longName(longForm), shortName(shortForm), takesValue(!isSwitch) {}
    std::string longName, shortName;  // "--output", "-o"
    bool takesValue = true;           // false for a switch such as "--force"
    std::string value;
    bool given = false;
};

inline int BadUsage(const std::string& tool, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n(%s --help shows the usage)\n", tool.c_str(), why.c_str(), tool.c_str());
    return kExitUsage;
}

// Takes the value of `o` given as "--opt V", "-o V" or "--opt=V", or a
// switch given as "--opt" or "-o"; false when `arg` is not that option or
// its value is missing.
inline bool TakeOption(int argc, char** argv, int& i, const std::string& arg, Option& o) {
    if (arg == o.longName || arg == o.shortName) {
        if (!o.takesValue) return o.given = true;
        if (i + 1 >= argc) return false;
        o.value = argv[++i];
        return o.given = true;
    }
    if (!o.takesValue || arg.compare(0, o.longName.size() + 1, o.longName + "=") != 0) return false;
    o.value = arg.substr(o.longName.size() + 1);
    return o.given = true;
}

// -1 when the tool is to run on `words`; else its exit code, once the
// usage or the version is printed or a bad option reported.
inline int ParseCommandLine(int argc, char** argv, const std::string& tool, const char* usage,
                            const std::vector<Option*>& options, std::vector<std::string>& words) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h" || arg == "--version") {
            std::printf("%s", arg == "--version" ? (tool + " " RZ_VERSION "\n").c_str() : usage);
            return 0;
        } else {
            bool taken = false;
            for (Option* o : options) {
                if (!taken && TakeOption(argc, argv, i, arg, *o)) taken = true;
                if (!taken && (arg == o->longName || arg == o->shortName)) return BadUsage(tool, arg + " needs a value");
            }
            if (!taken) return BadUsage(tool, "unknown option '" + arg + "'");
        }
    }
    return -1;
}

}  // namespace rz
