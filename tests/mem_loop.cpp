// The in-memory message loop: the time that passes while the program waits,
// with the timer, the watched process's end and the worker's messages, and
// the window that the loop serves.
#include "mem_platform.h"

#include <algorithm>
#include <stdexcept>

#include "mem_shared.h"

namespace rz {

namespace {

constexpr int kTimerNestingLimit = 16;

}  // namespace

bool MemPlatform::RunFor(std::uint64_t ms) {
    try {
        Pump(mono_ + ms, nullptr);
    } catch (const ProgramEnded&) {
        handlerDepth_ = 0;
    }
    return !ended;
}

// Lets time pass up to `until` as any message loop of the program does,
// the handlers' own waits included: the timer fires each time it falls due
// (only a handler that stops the timer keeps itself from running inside
// itself), and the watched process's end runs the end handler at the
// instant of the end, once. Returns as soon as `awaited`, when given, has
// ended: before the watched process is looked at, as a wait whose own
// handle comes first.
void MemPlatform::Pump(std::uint64_t until, const Proc* awaited) {
    for (;;) {
        EndProcessesDue();
        if (awaited && !awaited->alive) return;
        if (workerWakesAt_ <= mono_) {
            ResumeWorker();
            continue;
        }
        if (workBusy_ && workFinished_) {  // its message
            workBusy_ = false;
            RunHandler(onWorkDone_);
            continue;
        }
        const Proc* watched = Watched();
        if (watched && !watched->alive) {
            watched_ = 0;
            RunHandler(onEnd_);
            continue;
        }
        std::uint64_t next = std::min(until, workerWakesAt_);
        if (hostWakesAt > mono_) next = std::min(next, hostWakesAt);
        if (watched) next = std::min(next, EndsAt(*watched));
        if (awaited) next = std::min(next, EndsAt(*awaited));
        if (timerInterval != 0 && timerDue <= next) {
            AdvanceTo(timerDue);
            timerDue = mono_ + timerInterval;
            tickTimes.push_back(mono_);
            if (handlerDepth_ > 0) ++nestedTicks;
            RunHandler(onTimer_);
            continue;
        }
        if (mono_ >= until) return;
        AdvanceTo(next);
    }
}

void MemPlatform::RunHandler(const std::function<void()>& handler) {
    if (handlerDepth_ >= kTimerNestingLimit)
        throw std::logic_error("handlers run inside each other " + std::to_string(handlerDepth_) + " deep");
    ++handlerDepth_;
    if (handler) handler();
    --handlerDepth_;
}

const MemPlatform::Proc* MemPlatform::Watched() {
    auto it = handles_.find(watched_);
    return watched_ == 0 || it == handles_.end() ? nullptr : FindProcess(it->second.pid);
}

void MemPlatform::AdvanceTo(std::uint64_t t) {
    if (t > mono_) mono_ = t;
    EndProcessesDue();
    if (onTime) onTime(*this);
}

void MemPlatform::SetAppTitle(const std::string& title) { appTitles.push_back(title); }

Handle MemPlatform::FindAppWindow(const std::string& className, const std::string& title) {
    auto it = appWindows.find(className + "|" + title);
    return it == appWindows.end() ? 0 : it->second;
}

void MemPlatform::RestoreAndActivate(Handle window) { activated.push_back(window); }

bool MemPlatform::CreateMainWindow(const FormDesign& d) {
    if (failWindow || windowFailures > 0) {
        if (windowFailures > 0) --windowFailures;
        return false;
    }
    windowCreated = true;
    design = d;
    return true;
}

void MemPlatform::SetLabelText(const std::string& text) {
    labelText = text;
    windowEvents.push_back("caption");
}

void MemPlatform::ShowMainWindow() {
    windowShown = true;
    windowEvents.push_back("show");
}

void MemPlatform::RepaintLabel() { windowEvents.push_back("repaint"); }

void MemPlatform::SetTimer(std::uint32_t intervalMs) {
    timerInterval = intervalMs;
    timerDue = mono_ + intervalMs;
}

void MemPlatform::SetTimerHandler(std::function<void()> handler) { onTimer_ = std::move(handler); }

void MemPlatform::WatchProcess(Handle process) {
    if (process != 0 && !Granted(process, kSynchronize))
        throw std::logic_error("a watched handle must be open with SYNCHRONIZE");
    watched_ = process;
}

void MemPlatform::SetProcessEndHandler(std::function<void()> handler) { onEnd_ = std::move(handler); }

// Nothing happens in this world during a wait but the timer and the end of
// the watched process.
void MemPlatform::PumpUntil(std::uint64_t deadlineMs) {
    if (windowEvents.empty() || windowEvents.back() != "wait") windowEvents.push_back("wait");
    Pump(deadlineMs, nullptr);
}

// Time passes until the process ends by itself or the deadline; a process
// being torn down ends at once when waited for.
bool MemPlatform::PumpUntilEnded(Handle process, std::uint64_t deadlineMs) {
    Proc* p = Granted(process, kSynchronize);
    if (!p) return false;
    Pump(deadlineMs, p);
    if (p->alive) lastError_ = 258;  // WAIT_TIMEOUT
    return !p->alive;
}

}  // namespace rz
