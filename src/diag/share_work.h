// The share worker's jobs. Whatever waits on the network (the update share,
// the status folder) runs on one worker thread, one job at a time, so that
// a share that hangs or crawls never holds up the tick, and with it the
// restart of a dead manager. A job works on a copy of the state taken when
// it is given and leaves its result for its pick-up, which runs on the
// user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace rz {

struct Ctx;

// A job outstanding this long has its record, and the report an event.
constexpr std::uint64_t kShareSilenceMs = 30000;

// Gives the worker `job` unless it is busy; false then. `job` returns
// whether its result needs a tick to act on it.
bool StartShareJob(Ctx& c, const std::string& what, std::function<bool(Ctx&)> job,
                   std::function<void(Ctx&)> pickUp);
// The done handler: the job's result is there.
void ShareJobDone(Ctx& c);
bool ShareResultWantsTick(const Ctx& c);
// Acts on a result that has come, if one has.
void PickUpShareWork(Ctx& c);
// Takes in what the worker has finished by now, and acts on it.
void CollectShareWork(Ctx& c);
// Waits, pumping, until the worker's job has answered or the deadline
// (MonotonicMs) has passed; true when it has, or when there is none.
bool AwaitShareAnswer(Ctx& c, std::uint64_t deadlineMs);
// The same, and a result that comes is dropped unread: the program stops.
bool AwaitShareIdle(Ctx& c, std::uint64_t deadlineMs);
// Once per tick: the record of a job that has not answered for long.
void WatchShareSilence(Ctx& c);

}  // namespace rz
