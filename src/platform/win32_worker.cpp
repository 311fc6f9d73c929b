// The share worker: one thread beside the user interface's, which runs
// one job at a time and posts its end to the message loop.
#include "platform/win32_impl.h"

namespace rz {

namespace {

// Reserved, not committed: the jobs need little, a hung one must not cost more.
constexpr SIZE_T kWorkerStack = 256 * 1024;

}  // namespace

// The worker sleeps on its event between jobs; the job and its result
// pass between the threads through the event and the posted message,
// which order memory both ways.
DWORD WINAPI Win32Platform::Impl::WorkerMain(LPVOID arg) {
    Impl* self = static_cast<Impl*>(arg);
    for (;;) {
        WaitForSingleObject(self->workEvent, INFINITE);
        self->job();
        PostThreadMessageA(self->uiThread, kWorkDoneMessage, 0, 0);
    }
}

// The thread is made at the first job, beside a message queue that the
// application window has already given this thread.
void Win32Platform::StartWork(std::function<void()> job) {
    Impl& m = *impl_;
    if (!m.workThread) {
        m.uiThread = GetCurrentThreadId();
        m.workEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m.workThread = CreateThread(nullptr, kWorkerStack, Impl::WorkerMain, &m, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                    nullptr);
    }
    m.job = std::move(job);
    SetEvent(m.workEvent);
}

void Win32Platform::SetWorkDoneHandler(std::function<void()> handler) { impl_->onWorkDone = std::move(handler); }

}  // namespace rz
