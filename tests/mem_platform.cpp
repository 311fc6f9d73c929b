#include "mem_platform.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "core/app.h"
#include "platform/win32_rules.h"
#include "signing.h"

#include <openssl/sha.h>

namespace rz {

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorBadNetPath = 53;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorAlreadyExists = 183;

// Process access rights.
constexpr std::uint32_t kTerminate = 0x0001;
constexpr std::uint32_t kVmRead = 0x0010;
constexpr std::uint32_t kQueryInformation = 0x0400;
constexpr std::uint32_t kQueryLimited = 0x1000;
constexpr std::uint32_t kSynchronize = 0x00100000;

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (unsigned char b : digest) text += {hex[b >> 4], hex[b & 15]};
    return text;
}

constexpr Handle kExeModule = 0x400000;
constexpr Handle kFirstLibrary = 0x7C800000;
constexpr int kTimerNestingLimit = 16;

std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

}  // namespace

MemPlatform::MemPlatform() {
    SetLocalTime(2024, 3, 7, 18, 5, 9);
    AddDir(appFolder);
}

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

// --- set-up and inspection ---------------------------------------------

MemPlatform::Node& MemPlatform::AddFile(const std::string& path, const std::string& data, bool readOnly) {
    Node n;
    n.path = path;
    n.data = data;
    n.readOnly = readOnly;
    n.writtenAt = mono_;
    n.index = nextIndex_++;
    return files_[UCase(path)] = n;
}

void MemPlatform::AddDir(const std::string& path) {
    Node n;
    n.path = path;
    n.dir = true;
    files_[UCase(path)] = n;
}

void MemPlatform::RemoveTree(const std::string& path) {
    const std::string key = UCase(path);
    for (auto it = files_.begin(); it != files_.end();)
        it = it->first == key || it->first.rfind(key + "\\", 0) == 0 ? files_.erase(it) : std::next(it);
}

bool MemPlatform::Has(const std::string& path) const { return files_.count(UCase(path)) != 0; }

const MemPlatform::Node* MemPlatform::Find(const std::string& path) const {
    auto it = files_.find(UCase(path));
    return it == files_.end() ? nullptr : &it->second;
}

MemPlatform::Node* MemPlatform::Lookup(const std::string& path) {
    auto it = files_.find(UCase(path));
    return it == files_.end() ? nullptr : &it->second;
}

std::string MemPlatform::Read(const std::string& path) const {
    const Node* n = Find(path);
    return n ? n->data : std::string();
}

std::vector<std::string> MemPlatform::LogLines(const std::string& path) const {
    std::vector<std::string> lines;
    const std::string data = Read(path);
    std::size_t start = 0;
    for (std::size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(data.substr(start, end - start));
    return lines;
}

std::vector<std::string> MemPlatform::LogMessages(const std::string& path) const {
    std::vector<std::string> messages;
    for (const std::string& line : LogLines(path)) {
        const std::size_t open = line.find(",\"");
        messages.push_back(open == std::string::npos ? line : line.substr(open + 2, line.size() - open - 3));
    }
    return messages;
}

MemPlatform::Proc& MemPlatform::AddProcess(const std::string& path) {
    Proc p;
    p.pid = nextPid_;
    nextPid_ += 4;
    p.path = path;
    p.startedAt = mono_;
    procs.push_back(p);
    byPid_[p.pid] = &procs.back();
    return procs.back();
}

MemPlatform::Proc* MemPlatform::FindProcess(std::uint32_t pid) {
    auto it = byPid_.find(pid);
    return it == byPid_.end() ? nullptr : it->second;
}

int MemPlatform::CountAlive(const std::string& pathEnd) const {
    int n = 0;
    for (const Proc& p : procs) n += p.alive && EndsWithNoCase(p.path, pathEnd);
    return n;
}

std::string MemPlatform::RegValue(const std::string& key, const std::string& name) const {
    auto it = registry.find(UCase(key) + "\\" + name);
    return it == registry.end() ? std::string("<missing>") : it->second;
}

void MemPlatform::SetLocalTime(int y, int mo, int d, int h, int mi, int s) {
    const std::int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    wallBaseSeconds_ = seconds - static_cast<std::int64_t>(mono_ / 1000);
}

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

std::uint64_t MemPlatform::EndsAt(const Proc& p) const {
    std::uint64_t at = UINT64_MAX;
    if (p.terminating) at = p.goneAt;
    at = std::min(at, p.diesAt);
    // A manager that honours KORUMGR.stp ends a while after it appears.
    const Node* stp = p.obeysStopAfterMs < 0 ? nullptr : Find(Folder(p.path) + "\\KORUMGR.stp");
    if (stp) at = std::min(at, stp->writtenAt + static_cast<std::uint64_t>(p.obeysStopAfterMs));
    return at;
}

void MemPlatform::EndProcessesDue() {
    for (Proc& p : procs) {
        if (!p.alive || mono_ < EndsAt(p)) continue;
        p.endedAt = EndsAt(p);  // time may have jumped past it
        if (!p.terminating) p.exitCode = p.endedAt == p.diesAt ? p.crashCode : 0;
        p.alive = p.terminating = false;
    }
}

bool MemPlatform::ImageInUse(const std::string& path) const {
    for (const Proc& p : procs)
        if (p.alive && UCase(p.path) == UCase(path)) return true;
    return false;
}

bool MemPlatform::Pinned(const std::string& path) const {
    return heldOpen.count(UCase(path)) != 0 || writerLocked.count(UCase(path)) != 0;
}

void MemPlatform::PowerCut() {
    for (Proc& p : procs) p.alive = p.terminating = false;
    handles_.clear();
    watched_ = 0;
    timerInterval = 0;
    for (auto& f : files_) {
        if (!f.second.flushed) f.second.data.assign(f.second.data.size(), '\0');
        f.second.flushed = true;
    }
}

bool MemPlatform::HostUnreachable(const std::string& path) const {
    if (path.rfind("\\\\", 0) != 0) return false;
    const std::string host = UCase(path.substr(2, path.find('\\', 2) - 2));
    return unreachableHosts.count(host) != 0;
}

bool MemPlatform::ParentExists(const std::string& path) const {
    const Node* parent = Find(Folder(path));
    return parent && parent->dir;
}

bool MemPlatform::Fail(std::uint32_t error) {
    lastError_ = error;
    return false;
}

MemPlatform::Proc* MemPlatform::Granted(Handle process, std::uint32_t rights, std::uint32_t anyOf) {
    auto it = handles_.find(process);
    if (it == handles_.end()) {
        lastError_ = kErrorInvalidHandle;
        return nullptr;
    }
    const std::uint32_t access = it->second.access;
    if ((access & rights) != rights || (anyOf != 0 && (access & anyOf) == 0)) {
        lastError_ = kErrorAccessDenied;
        return nullptr;
    }
    return FindProcess(it->second.pid);
}

// --- Platform ------------------------------------------------------------

std::string MemPlatform::AppFolder() { return appFolder; }

void MemPlatform::SetAppTitle(const std::string& title) { appTitles.push_back(title); }

bool MemPlatform::PrevInstance() {
    // As CreateMutexA answers: no handle at all when access is denied.
    if (mutexAccessDenied) return MutexMeansPrevInstance(false, kErrorAccessDenied);
    return MutexMeansPrevInstance(true, prevInstance ? kErrorAlreadyExists : 0);
}

std::string MemPlatform::FileVersion(const std::string& path) {
    auto it = versions.find(UCase(path));
    if (it != versions.end()) return it->second;
    const Node* n = Find(path);
    const std::size_t at = n ? n->data.find("VS_VERSION_INFO:") : std::string::npos;
    if (at == std::string::npos) return Fail(1813), std::string();  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return n->data.substr(at + 16, n->data.find(';', at) - at - 16);
}

bool MemPlatform::ComputerName(char* buffer, std::uint32_t* size) {
    if (computerName.size() + 1 > *size) {
        *size = static_cast<std::uint32_t>(computerName.size() + 1);
        return Fail(111);
    }
    std::memcpy(buffer, computerName.c_str(), computerName.size() + 1);
    *size = static_cast<std::uint32_t>(computerName.size());
    return true;
}

ListResult MemPlatform::ListFirst(const std::string& path) {
    ListResult r;
    listed.push_back(path);
    if (HostUnreachable(path)) {
        r.error = true;
        lastError_ = kErrorBadNetPath;
        return r;
    }
    // As FindFirstFileA: "file not found" in a folder that exists, "path
    // not found" when the folder itself is missing.
    if (!path.empty() && path.back() == '\\') {
        const std::string folder = UCase(path.substr(0, path.size() - 1));
        const Node* dir = Find(folder);
        if (dir && dir->dir) r.first = ".";
        else lastError_ = kErrorPathNotFound;
        return r;
    }
    const Node* n = Find(path);
    if (n && !n->hidden && !n->system) r.first = BaseName(n->path);
    if (!n) lastError_ = ParentExists(path) ? kErrorFileNotFound : kErrorPathNotFound;
    return r;
}

bool MemPlatform::RemoveFile(const std::string& path) {
    Node* n = Lookup(path);
    if (!n) return Fail(kErrorFileNotFound);
    if (n->dir || n->readOnly || ImageInUse(path)) return Fail(kErrorAccessDenied);
    if (Pinned(path)) return Fail(kErrorSharingViolation);
    files_.erase(UCase(path));
    return true;
}

bool MemPlatform::CopyFileTo(const std::string& from, const std::string& to) {
    const Node* src = Find(from);
    if (!src || src->dir) return Fail(kErrorFileNotFound);
    if (HostUnreachable(from) || !ParentExists(to)) return Fail(kErrorBadNetPath);
    const Node* dst = Find(to);
    if (dst && (dst->dir || dst->readOnly || dst->hidden || dst->system)) return Fail(kErrorAccessDenied);
    if (ImageInUse(to) || Pinned(to)) return Fail(kErrorSharingViolation);
    if (copyTruncates || failCopiesTo.count(UCase(to))) {
        AddFile(to, src->data.substr(0, src->data.size() / 2));
        files_[UCase(to)].flushed = false;
        return Fail(112);  // disk full
    }
    if (failCopy) return Fail(kErrorAccessDenied);
    // As CopyFileA: the copy keeps the source's attributes and last-write time.
    Node copy = *src;
    copy.path = to;
    copy.index = nextIndex_++;
    copy.flushed = false;
    files_[UCase(to)] = copy;
    return true;
}

bool MemPlatform::MoveReplace(const std::string& from, const std::string& to) {
    const Node* src = Find(from);
    if (!src) return Fail(kErrorFileNotFound);
    const Node* dst = Find(to);
    if (failMove || failMovesTo.count(UCase(to)) || (dst && (dst->dir || dst->readOnly)) || ImageInUse(to))
        return Fail(kErrorAccessDenied);
    if (Pinned(from) || Pinned(to)) return Fail(kErrorSharingViolation);
    Node moved = *src;
    moved.path = to;
    files_.erase(UCase(from));
    files_[UCase(to)] = moved;
    return true;
}

bool MemPlatform::WriteText(const std::string& path, const std::string& text) {
    const Node* n = Find(path);
    // CREATE_ALWAYS refuses a hidden or system file whose attributes the
    // call does not repeat.
    if ((n && (n->dir || n->readOnly || n->hidden || n->system)) || !ParentExists(path) ||
        failWritesTo.count(UCase(path)))
        return Fail(kErrorAccessDenied);
    if (ImageInUse(path) || Pinned(path)) return Fail(kErrorSharingViolation);
    AddFile(path, text);
    files_[UCase(path)].flushed = false;
    return true;
}

bool MemPlatform::AppendText(const std::string& path, const std::string& text) {
    if (appendFailures > 0) {
        --appendFailures;
        return Fail(112);
    }
    Node* n = Lookup(path);
    if ((n && (n->dir || n->readOnly)) || !ParentExists(path)) return Fail(kErrorAccessDenied);
    if (!n) {
        AddFile(path, text);
        files_[UCase(path)].flushed = false;
        return true;
    }
    n->data += text;
    n->writtenAt = mono_;
    n->flushed = false;
    return true;
}

ReadStatus MemPlatform::ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) {
    out.clear();
    const Node* n = Find(path);
    if (!n) return ReadStatus::Missing;
    auto refused = readErrors.find(UCase(path));
    if (refused != readErrors.end()) return Fail(refused->second), ReadStatus::Error;
    if (n->dir) {
        lastError_ = kErrorAccessDenied;  // CreateFileA on a folder
        return ReadStatus::Error;
    }
    if (n->data.size() > limit) return ReadStatus::TooLarge;
    out = n->data;
    return ReadStatus::Ok;
}

bool MemPlatform::StatFile(const std::string& path, FileStamp& stamp) {
    const Node* n = Find(path);
    if (!n) return Fail(HostUnreachable(path) ? kErrorBadNetPath : kErrorFileNotFound);
    if (n->dir) return Fail(kErrorAccessDenied);
    stamp.length = n->shownLength > 0 ? n->shownLength : n->data.size();
    stamp.lastWrite = FileTimeAt(n->writtenAt);
    return true;
}

bool MemPlatform::ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                                    FileStamp& stamp) {
    const Node* n = Find(path);
    if (!n || n->dir) return Fail(kErrorFileNotFound);
    if (writerLocked.count(UCase(path))) return Fail(kErrorSharingViolation);
    head = n->data.substr(0, count);
    stamp = {n->data.size(), FileTimeAt(n->writtenAt), n->index};
    return true;
}

// As a handle opened with DELETE and only FILE_SHARE_READ: refused while a
// writer or another program without delete sharing has the file open.
RemoveCheck MemPlatform::RemoveIfUnchanged(const std::string& path, const FileStamp& stamp) {
    const Node* n = Find(path);
    if (!n) return HostUnreachable(path) ? (Fail(kErrorBadNetPath), RemoveCheck::Failed)
                                         : (Fail(kErrorFileNotFound), RemoveCheck::Changed);
    if (n->dir || ImageInUse(path)) return Fail(kErrorAccessDenied), RemoveCheck::Failed;
    if (Pinned(path)) return Fail(kErrorSharingViolation), RemoveCheck::Failed;
    const std::uint64_t length = n->shownLength > 0 ? n->shownLength : n->data.size();
    if (length != stamp.length || FileTimeAt(n->writtenAt) != stamp.lastWrite || (stamp.index != 0 && n->index != stamp.index))
        return RemoveCheck::Changed;
    if (n->readOnly) return Fail(kErrorAccessDenied), RemoveCheck::Failed;  // STATUS_CANNOT_DELETE
    files_.erase(UCase(path));
    return RemoveCheck::Removed;
}

long MemPlatform::RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) {
    if (registryFails || root != kHKeyLocalMachine) {
        *key = 0;
        return kErrorAccessDenied;
    }
    *key = nextHandle_++;
    regKeys_[*key] = UCase(subKey);
    return 0;
}

long MemPlatform::RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) {
    auto it = regKeys_.find(key);
    if (it == regKeys_.end()) return kErrorInvalidHandle;
    regSetBytes.push_back(bytes);
    registry[it->second + "\\" + name] = std::string(data, bytes ? bytes - 1 : 0);
    return 0;
}

long MemPlatform::RegClose(Handle key) { return regKeys_.erase(key) ? 0 : kErrorInvalidHandle; }

bool MemPlatform::EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) {
    enumCallSizes.push_back(bytes);
    std::uint32_t n = 0;
    for (const Proc& p : procs) {
        if (!p.alive) continue;
        if ((n + 1) * 4 > bytes) break;
        ids[n++] = p.pid;
    }
    *returned = n * 4;
    return true;
}

Handle MemPlatform::OpenProc(std::uint32_t access, bool, std::uint32_t pid) {
    const Proc* p = FindProcess(pid);
    // A terminated process can still be opened while a handle keeps it.
    bool held = false;
    for (const auto& h : handles_) held = held || h.second.pid == pid;
    if (!p || (!p->alive && !held)) {
        lastError_ = kErrorInvalidParameter;
        return 0;
    }
    if (!p->openable) {
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    const Handle h = nextHandle_++;
    handles_[h] = HandleInfo{pid, access};
    return h;
}

// As a 32-bit process sees it: 4 bytes a module handle, as many written as
// fit, and the room that all of them need.
bool MemPlatform::EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) {
    const Proc* p = Granted(process, kQueryInformation | kVmRead);
    if (!p) return false;
    if (!p->modulesReadable) return Fail(299);
    for (int i = 0; i < p->modules && static_cast<std::uint32_t>(i) < bytes / 4; ++i)
        modules[i] = i == 0 ? kExeModule : kFirstLibrary + static_cast<Handle>(i) * 0x10000;
    *needed = static_cast<std::uint32_t>(p->modules) * 4;
    return true;
}

// A name longer than the buffer is cut to size - 1 characters and a NUL,
// and the call answers `size`, as GetModuleFileNameExA does.
std::uint32_t MemPlatform::ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) {
    const Proc* p = Granted(process, kQueryInformation | kVmRead);
    if (!p) return 0;
    const Handle library = module > kFirstLibrary ? (module - kFirstLibrary) / 0x10000 : 0;
    std::string name;
    if (module == 0 || module == kExeModule)
        name = p->path;
    else if (library > 0 && library < static_cast<Handle>(p->modules) && module == kFirstLibrary + library * 0x10000)
        name = "C:\\WINDOWS\\system32\\LIB" + std::to_string(library) + ".dll";
    else
        return Fail(kErrorInvalidHandle);
    if (!p->nameReadable || size == 0) return 0;
    if (name.size() < size) {
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        return static_cast<std::uint32_t>(name.size());
    }
    std::memcpy(buffer, name.data(), size - 1);
    buffer[size - 1] = '\0';
    lastError_ = kErrorInsufficientBuffer;
    return size;
}

bool MemPlatform::ExitCodeOf(Handle process, std::uint32_t* code) {
    const Proc* p = Granted(process, 0, kQueryInformation | kQueryLimited);
    if (!p) return false;
    // A process ended by hand without a code ended normally.
    *code = p->alive && !p->terminating ? 259 : p->exitCode == 259 ? 0 : p->exitCode;
    return true;
}

// Returns at once, as TerminateProcess does: the process leaves the table
// only when it has been torn down.
bool MemPlatform::TerminateProc(Handle process, std::uint32_t code) {
    Proc* p = Granted(process, kTerminate);
    if (!p) return false;
    if (!p->alive || p->terminating || p->ignoresTerminate) return Fail(kErrorAccessDenied);
    p->terminating = true;
    p->goneAt = mono_ + lingerMs;
    p->exitCode = code;
    terminated.push_back(p->pid);
    if (onTerminate) onTerminate(*p);
    EndProcessesDue();
    return true;
}

bool MemPlatform::CloseHandle(Handle handle) {
    // A closed handle in a wait makes it fail, or wait on whatever object
    // gets the handle's value next.
    if (handle != 0 && handle == watched_) throw std::logic_error("the watched handle is closed while watched");
    if (!handles_.erase(handle)) return Fail(kErrorInvalidHandle);
    return true;
}

std::uint32_t MemPlatform::LastError() { return lastError_; }

std::uint32_t MemPlatform::StartProgram(const std::string& path) {
    started.push_back(path);
    if (startFailures > 0) {
        --startFailures;
        return 0;
    }
    const Node* n = Find(path);
    if (!n || n->dir) return 0;
    Proc& p = AddProcess(path);
    if (startedLifeMs >= 0) p.diesAt = mono_ + static_cast<std::uint64_t>(startedLifeMs);
    if (onStart && !onStart(p)) {
        p.alive = false;
        return Fail(193), 0;  // ERROR_BAD_EXE_FORMAT
    }
    return p.pid;
}

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

std::uint64_t MemPlatform::MonotonicMs() { return mono_; }

namespace {
// Seconds from 1601-01-01 to 1970-01-01; the in-memory world keeps local
// time and UTC the same.
constexpr std::int64_t kFileTimeEpochSeconds = 11644473600;
}  // namespace

std::uint64_t MemPlatform::FileTimeAt(std::uint64_t mono) const {
    const std::int64_t seconds = wallBaseSeconds_ + static_cast<std::int64_t>(mono / 1000);
    return static_cast<std::uint64_t>(seconds + kFileTimeEpochSeconds) * 10000000u + (mono % 1000) * 10000u;
}

LocalTime MemPlatform::ToLocalTime(std::uint64_t fileTime) {
    return LocalAt(static_cast<std::int64_t>(fileTime / 10000000u) - kFileTimeEpochSeconds);
}

LocalTime MemPlatform::Now() { return LocalAt(wallBaseSeconds_ + static_cast<std::int64_t>(mono_ / 1000)); }

LocalTime MemPlatform::LocalAt(std::int64_t seconds) const {
    LocalTime t;
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

// Nothing happens in this world during a wait but the timer and the end of
// the watched process.
void MemPlatform::PumpUntil(std::uint64_t deadlineMs) {
    if (windowEvents.empty() || windowEvents.back() != "wait") windowEvents.push_back("wait");
    Pump(deadlineMs, nullptr);
}

void MemPlatform::DebugOutput(const std::string& text) { debugOutput.push_back(text); }

void MemPlatform::EndProgram(int code) {
    ended = true;
    exitCode = code;
    throw ProgramEnded{code};
}

// --- Update support ------------------------------------------------------------

bool MemPlatform::ClearAttributes(const std::string& path) {
    Node* n = Lookup(path);
    if (!n) return Fail(HostUnreachable(path) ? kErrorBadNetPath : kErrorFileNotFound);
    n->readOnly = n->hidden = n->system = false;
    return true;
}

PathKind MemPlatform::Attributes(const std::string& path) {
    if (HostUnreachable(path)) {
        lastError_ = kErrorBadNetPath;
        return PathKind::Unknown;
    }
    const Node* n = Find(path);
    if (n) return n->dir ? PathKind::Folder : PathKind::File;
    lastError_ = ParentExists(path) ? kErrorFileNotFound : kErrorPathNotFound;
    return PathKind::Missing;
}

// Flushing needs the file open for writing, which a read-only file or a
// running image refuses.
bool MemPlatform::FlushFile(const std::string& path) {
    Node* n = Lookup(path);
    if (!n) return Fail(kErrorFileNotFound);
    if (n->dir || n->readOnly) return Fail(kErrorAccessDenied);
    if (ImageInUse(path)) return Fail(kErrorSharingViolation);
    n->flushed = true;
    return true;
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

std::uint64_t MemPlatform::SystemTime() { return FileTimeAt(mono_); }

bool MemPlatform::ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) {
    out.clear();
    const Node* n = Find(path);
    if (!n || n->dir) return Fail(kErrorFileNotFound);
    if (writerLocked.count(UCase(path))) return Fail(kErrorSharingViolation);
    if (offset < n->data.size()) out = n->data.substr(static_cast<std::size_t>(offset), count);
    return true;
}

// --- Census support --------------------------------------------------

bool MemPlatform::ProcessSnapshot(std::vector<ProcessEntry>& out) {
    ++snapshotCalls;
    out.clear();
    for (const Proc& p : procs) {
        if (!p.alive) continue;
        const std::size_t slash = p.path.find_last_of('\\');
        const std::string name = slash == std::string::npos ? p.path : p.path.substr(slash + 1);
        out.push_back({p.pid, p.snapshotName.empty() ? name : p.snapshotName});
    }
    // A failed walk may leave what it read so far behind.
    return snapshotFails ? Fail(kErrorAccessDenied) : true;
}

// --- Signed updates ------------------------------------------------------------

SignatureCheck MemPlatform::VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                                const std::string& signature) {
    if (noProvider) return Fail(0x80090019), SignatureCheck::NoProvider;  // NTE_KEYSET_NOT_DEF
    const Node* n = Find(path);
    if (!n || n->dir) return Fail(kErrorFileNotFound), SignatureCheck::Unreadable;
    if (writerLocked.count(UCase(path))) return Fail(kErrorSharingViolation), SignatureCheck::Unreadable;
    lastError_ = 0;
    return VerifyBytes(key.pem, n->data, signature);
}

FileHash MemPlatform::Sha256File(const std::string& path, std::string& digest) {
    if (noProvider) return Fail(0x80090019), FileHash::NoProvider;
    const Node* n = Find(path);
    if (!n || n->dir) return Fail(kErrorFileNotFound), FileHash::Unreadable;
    if (writerLocked.count(UCase(path))) return Fail(kErrorSharingViolation), FileHash::Unreadable;
    ++hashes;
    digest = Sha256Hex(n->data);
    return FileHash::Done;
}

bool MemPlatform::ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) {
    const Proc* p = Granted(process, 0, kQueryInformation | kQueryLimited);
    if (!p) return false;
    created = FileTimeAt(p->startedAt) - p->olderByMs * 10000;
    exited = p->alive && !p->terminating ? 0 : FileTimeAt(p->endedAt != 0 ? p->endedAt : mono_);
    return true;
}

// --- Frozen managers ------------------------------------------------------

std::vector<TopWindow> MemPlatform::TopWindows(const std::vector<std::uint32_t>& pids) {
    std::vector<TopWindow> out;
    for (const Proc& p : procs) {
        if (!p.alive || p.terminating || std::find(pids.begin(), pids.end(), p.pid) == pids.end()) continue;
        for (const Proc::Window& w : p.windows)
            if (w.visible || w.hung) out.push_back({w.handle, p.pid, w.visible, w.hung});
    }
    return out;
}

std::uint32_t MemPlatform::WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) {
    const Proc* p = FindProcess(pid);
    if (!p || !p->alive) return kErrorInvalidParameter;
    if (!ParentExists(path)) return kErrorPathNotFound;
    if (dumpTakesMs > limitMs) {
        AdvanceTo(mono_ + limitMs);
        return 258;  // WAIT_TIMEOUT
    }
    AdvanceTo(mono_ + dumpTakesMs);
    AddFile(path, "MDMP" + std::string(60, '\0'));
    return 0;
}

// Patterns of the form folder\prefix*suffix, as the monitor gives them.
std::vector<std::string> MemPlatform::ListNames(const std::string& pattern) {
    std::vector<std::string> names;
    const std::string name = UCase(BaseName(pattern)), head = name.substr(0, name.find('*'));
    const std::string tail = name.substr(name.find('*') + 1);
    for (const auto& f : files_) {
        const std::string base = BaseName(f.first);
        if (Folder(f.first) == UCase(Folder(pattern)) && base.size() >= head.size() + tail.size() &&
            base.rfind(head, 0) == 0 && EndsWithNoCase(base, tail))
            names.push_back(BaseName(f.second.path));
    }
    return names;
}

}  // namespace rz
