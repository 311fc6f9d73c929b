// The rollouts recorded in the update folder, as 'status' and 'list' show them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "rollout.h"

namespace rollout {

// The rollouts whose state lies in the folder, newest first; the files that
// cannot be read are named in `damaged`.
std::vector<std::pair<State, Seconds>> States(Folder& f, std::vector<std::string>& damaged);
// The lock's holder and age; false when there is no lock.
bool ReadLock(Folder& f, std::string& holder, Seconds& age);
// Prints what the command asks for; "" when something was shown, else why not.
std::string ShowStatus(const Options& o);
std::string ShowList(const Options& o);

}  // namespace rollout
