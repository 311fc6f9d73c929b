// The plan of a new rollout, checked and printed before anything is written.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "rollout.h"

namespace rollout {

// A line of the rollout's console output, after the time of day.
void Say(const std::string& line);
// The machines of the rollout in order: those named, or every machine that
// reports; "" or why they will not do.
std::string ChooseMachines(const Options& o, const std::vector<board::Machine>& reports,
                           std::vector<std::string>& out);
// Every machine must report, run an older build than this one, and not be
// known to refuse it; "" or why not.
std::string CheckMachines(const std::vector<std::string>& names, const std::vector<board::Machine>& reports,
                          const State& s, const std::string& statusFolder);
// The build's signature: made with --key, or --sig checked with --public.
// "" or why not; `what` says which for the plan.
std::string Signature(const Options& o, std::string& signature, std::string& what);
void PrintPlan(const State& s, const std::vector<board::Machine>& reports, const std::string& signing);

}  // namespace rollout
