#include "diag/share_work.h"

#include <algorithm>
#include <memory>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/status_report.h"

namespace rz {

namespace {

// A final report waits in these steps; only the stop ever polls.
constexpr std::uint64_t kAwaitStepMs = 20;

std::string Seconds(std::uint64_t ms) { return std::to_string(ms / 1000) + " s"; }

void ClearJob(ShareWork& w) {
    const bool probing = w.probing;
    w = ShareWork{};
    w.probing = probing;
}

}  // namespace

bool StartShareJob(Ctx& c, const std::string& what, std::function<bool(Ctx&)> job,
                   std::function<void(Ctx&)> pickUp) {
    ShareWork& w = c.s.work;
    if (w.busy) return false;
    w.busy = true;
    w.done = w.silent = false;
    w.since = c.p.MonotonicMs();
    w.what = what;
    auto wantsTick = std::make_shared<bool>(false);
    w.wantsTick = wantsTick;
    w.pickUp = std::move(pickUp);
    // The copy is the worker's own: the two threads share no state.
    auto snapshot = std::make_shared<Ctx>(c);
    snapshot->s.work = ShareWork{};
    c.p.StartWork([snapshot, job, wantsTick] {
        try {
            *wantsTick = job(*snapshot);
        } catch (const Failure& f) {
            snapshot->p.DebugOutput(std::string("ROREROZARIRADI: share job failed: ") + f.what());
        }
    });
    return true;
}

bool ShareResultWantsTick(const Ctx& c) {
    const ShareWork& w = c.s.work;
    return w.done && w.wantsTick && *w.wantsTick;
}

void ShareJobDone(Ctx& c) {
    ShareWork& w = c.s.work;
    w.done = true;
    if (!w.silent) return;
    const std::string waited = Seconds(c.p.MonotonicMs() - w.since);
    TracedRecord(c, "SHARE ANSWERING AGAIN: " + w.what + " answered after " + waited);
    StatusEvent(c, "share answered again after " + waited, EventWeight::Trouble);
    w.silent = false;
}

void PickUpShareWork(Ctx& c) {
    ShareWork& w = c.s.work;
    if (!w.done) return;
    std::function<void(Ctx&)> pickUp = std::move(w.pickUp);
    ClearJob(w);
    if (pickUp) pickUp(c);
}

void CollectShareWork(Ctx& c) {
    for (;;) {
        c.p.PumpUntil(c.p.MonotonicMs());
        if (!c.s.work.done) return;
        PickUpShareWork(c);
    }
}

bool AwaitShareAnswer(Ctx& c, std::uint64_t deadlineMs) {
    ShareWork& w = c.s.work;
    while (w.busy && !w.done) {
        const std::uint64_t now = c.p.MonotonicMs();
        if (now >= deadlineMs) return false;
        c.p.PumpUntil(std::min(deadlineMs, now + kAwaitStepMs));
    }
    return true;
}

bool AwaitShareIdle(Ctx& c, std::uint64_t deadlineMs) {
    if (!AwaitShareAnswer(c, deadlineMs)) return false;
    ClearJob(c.s.work);
    return true;
}

void WatchShareSilence(Ctx& c) {
    ShareWork& w = c.s.work;
    if (!w.busy || w.done || w.silent) return;
    const std::uint64_t waited = c.p.MonotonicMs() - w.since;
    if (waited < kShareSilenceMs) return;
    w.silent = true;
    TracedRecord(c, "SHARE NOT ANSWERING: " + w.what + " has waited " + Seconds(waited) +
                        "; no update checks and no status reports until it answers");
    StatusEvent(c, "share not answering", EventWeight::Trouble);
}

}  // namespace rz
