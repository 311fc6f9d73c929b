// The in-memory share worker, and the calls that take simulated time on it.
#include "mem_platform.h"

#include <stdexcept>

namespace rz {

namespace {

struct WorkerAbandoned {};
// The platform whose worker is being started: the entry of a context
// takes no pointer.
MemPlatform* starting = nullptr;
constexpr std::size_t kWorkerStackBytes = 1024 * 1024;

}  // namespace

// A job stalled for good is unwound, touching nothing: what it worked on
// may already be gone.
MemPlatform::~MemPlatform() { DropWork(); }

void MemPlatform::DropWork() {
    if (workBusy_ && !workFinished_) {
        workAbandoned_ = true;
        ResumeWorker();
    }
    workAbandoned_ = workBusy_ = false;
    workerWakesAt_ = UINT64_MAX;
}

// The worker is a context of its own on the test's one thread: it runs only
// while the user-interface side waits for it, as before, and a switch costs
// no kernel round trip, which the simulator's thousands of jobs an hour need.
void MemPlatform::WorkerEntry() {
    MemPlatform* self = starting;
    self->RunJob();
    self->onWorker_ = false;
    setcontext(&self->uiContext_);
}

void MemPlatform::RunJob() {
    std::function<void()> job = std::move(job_);
    try {
        job();
    } catch (const WorkerAbandoned&) {
    } catch (...) {
        workFault_ = std::current_exception();
    }
    job = nullptr;
    workFinished_ = true;
}

void MemPlatform::StartWork(std::function<void()> job) {
    if (workBusy_) throw std::logic_error("a job given while the worker's last one is outstanding");
    if (workerStack_.empty()) workerStack_.resize(kWorkerStackBytes);
    workBusy_ = true;
    workFinished_ = false;
    job_ = std::move(job);
    getcontext(&workerContext_);
    workerContext_.uc_stack.ss_sp = workerStack_.data();
    workerContext_.uc_stack.ss_size = workerStack_.size();
    workerContext_.uc_link = nullptr;
    makecontext(&workerContext_, &MemPlatform::WorkerEntry, 0);
    starting = this;
    ResumeWorker();
}

void MemPlatform::ResumeWorker() {
    workerWakesAt_ = UINT64_MAX;
    onWorker_ = true;
    swapcontext(&uiContext_, &workerContext_);
    onWorker_ = false;
    if (!workFault_) return;
    std::exception_ptr fault = workFault_;
    workFault_ = nullptr;
    std::rethrow_exception(fault);
}

void MemPlatform::SetWorkDoneHandler(std::function<void()> handler) { onWorkDone_ = std::move(handler); }

void MemPlatform::Stall(std::uint64_t ms) {
    if (!OnWorker()) {
        mono_ += ms;
        EndProcessesDue();
        return;
    }
    workerWakesAt_ = mono_ + ms;
    onWorker_ = false;
    swapcontext(&workerContext_, &uiContext_);
    if (workAbandoned_) throw WorkerAbandoned{};
}

}  // namespace rz
