// The rollout's command line: its words and options, read and checked.
#pragma once

#include <string>
#include <vector>

#include "rollout.h"

namespace rollout {

struct Options {
    std::string verb, build, version, folder, machines, waves = "1,25%,100%", key, sig, publicKey;
    Seconds soak = 600, takeLimit = 900;
    bool dryRun = false, breakLock = false, monitor = false;
};

// -1 when the command is to run, else its exit code.
int ParseArgs(int argc, char** argv, Options& o);

}  // namespace rollout
