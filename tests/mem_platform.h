// An in-memory Windows for unit tests: a file tree, a registry, a process
// table, a window with its timer, and a virtual clock, so that a
// 35-second wait costs nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <ucontext.h>
#include <vector>

#include "platform/platform.h"

namespace rz {

// Thrown by EndProgram to unwind whatever the program was doing.
struct ProgramEnded {
    int code;
};

class MemPlatform : public Platform {
public:
    MemPlatform();
    ~MemPlatform() override;

    // --- set-up and inspection ---------------------------------------
    struct Node {
        std::string path;  // as created
        bool dir = false;
        bool readOnly = false;
        bool hidden = false;
        bool system = false;
        bool flushed = true;  // false: written since the last flush, lost by a power cut
        std::string data;
        std::uint64_t writtenAt = 0;  // virtual ms
        std::uint64_t shownLength = 0;  // > 0: the length its folder entry shows (a giant file, in short)
        std::uint64_t index = 0;        // the file's index: new for each file made, kept by a move
    };
    Node& AddFile(const std::string& path, const std::string& data = "", bool readOnly = false);
    void AddDir(const std::string& path);
    void RemoveTree(const std::string& path);  // a folder and all below it, gone
    bool Has(const std::string& path) const;
    const Node* Find(const std::string& path) const;
    std::string Read(const std::string& path) const;
    std::vector<std::string> LogLines(const std::string& path) const;  // records without CR LF
    // Messages of the records in a log (the text between the quotes).
    std::vector<std::string> LogMessages(const std::string& path) const;

    struct Proc {
        std::uint32_t pid = 0;
        std::string path;
        bool alive = true;
        bool openable = true;         // OpenProcess succeeds
        bool modulesReadable = true;  // EnumProcessModules succeeds
        bool nameReadable = true;     // GetModuleFileNameExA returns characters
        int modules = 3;              // the executable's first, then libraries
        bool ignoresTerminate = false;
        long obeysStopAfterMs = -1;   // ends this long after KORUMGR.stp appears beside it
        std::uint32_t exitCode = 259;
        std::string snapshotName;  // empty: the file name of `path`
        // Terminated, but still in the process table until `goneAt`, as a
        // process whose threads are still being torn down.
        bool terminating = false;
        std::uint64_t goneAt = 0;
        std::uint64_t diesAt = UINT64_MAX;  // ends by itself then (a crash)
        std::uint32_t crashCode = 0;        // its exit code when it ends so
        std::uint64_t startedAt = 0;        // virtual ms
        std::uint64_t olderByMs = 0;        // created this long before startedAt (before the test began)
        std::uint64_t endedAt = 0;          // virtual ms, once it has ended by itself or been torn down
        // Its top-level windows; a hung one that the system ghosts is hidden.
        struct Window {
            Handle handle = 0;
            bool visible = true;
            bool hung = false;
            // Since when it takes no messages: the system calls it hung 5 s
            // later, and not hung as soon as it takes them again. 0: from
            // before anything began.
            std::uint64_t hungSince = 0;
        };
        std::vector<Window> windows;
    };
    Proc& AddProcess(const std::string& path);
    Proc* FindProcess(std::uint32_t pid);
    int CountAlive(const std::string& pathEnd) const;
    std::deque<Proc> procs;  // references stay valid as processes are added
    std::vector<std::uint32_t> enumCallSizes;
    std::vector<std::string> started;
    int startFailures = 0;  // the next starts that return 0
    long startedLifeMs = -1;  // >= 0: what StartProgram starts ends this long after (a build that will not run)
    // Shapes each process that StartProgram starts; false: it does not
    // start at all (a damaged image), and StartProgram returns 0.
    std::function<bool(Proc&)> onStart;
    // Told of each termination that TerminateProcess starts.
    std::function<void(const Proc&)> onTerminate;
    int openHandles() const { return static_cast<int>(handles_.size()); }
    std::vector<std::uint32_t> terminated;  // pids, in order
    std::uint64_t lingerMs = 30;            // a terminated process stays this long, unless waited for
    // Ends every process, and turns the data of every file written since
    // its last flush into zeros of the same length; what was created,
    // moved or removed stays so.
    void PowerCut();

    std::map<std::string, std::string> registry;  // "KEY\\name" (upper-case key) -> value
    std::vector<std::uint32_t> regSetBytes;
    bool registryFails = false;
    std::string RegValue(const std::string& key, const std::string& name) const;

    std::string appFolder = "C:\\APPS\\KORU";
    std::string computerName = "SERV01";
    bool prevInstance = false;
    std::set<std::string> renameDenied;  // upper-case paths this program may not rename (no Delete right)
    std::string commandArgs;
    std::uint32_t ownPid = 1;
    bool mutexAccessDenied = false;  // the mutex belongs to a more privileged instance
    bool otherSession = false;       // a monitor of another session holds the global mutex
    // Named objects as Windows keeps them: a name is its session's unless it
    // begins with "Global\"; the object lives while a process holds a
    // handle to it, and a process lets go of all it holds when it ends.
    // `prevInstance` and `otherSession` stand for holders outside the table.
    std::uint32_t session = 1;
    std::map<std::string, std::set<std::uint32_t>> namedHolders;  // "Session1\name", "Global\name" -> pids
    void TakeNamed(std::uint32_t pid, const std::string& name) { namedHolders[NamedKey(name)].insert(pid); }
    bool Holds(std::uint32_t pid, const std::string& name);
    void LetGoNamed(std::uint32_t pid);  // its process has ended
    // What a share's server answers for a handle's file index: a lasting
    // one, 0, a new one at every open, or no information at all.
    enum class FileIds { Lasting, Zero, PerOpen, Refused } fileIds = FileIds::Lasting;
    std::uint64_t staleMs = 0;  // a share's listings and folder entries are answered up to this old
    std::map<std::string, Handle> appWindows;  // "class|title" -> window
    std::vector<Handle> activated;
    std::vector<std::string> appTitles;         // every title set, in order
    // Upper-case path -> version. Without an entry, the version is the one
    // that the file's bytes hold after "VS_VERSION_INFO:", up to a ';', as
    // the version resource travels with a copy.
    std::map<std::string, std::string> versions;
    std::set<std::string> unreachableHosts;       // upper-case
    std::set<std::string> writerLocked;           // upper-case paths open for writing elsewhere
    std::map<std::string, std::uint32_t> readErrors;  // upper-case path -> error of every small-file read
    std::set<std::string> heldOpen;               // upper-case paths open elsewhere without delete sharing
    std::vector<std::string> listed;              // every path listed, in order

    // Faults to inject.
    bool failCopy = false, failMove = false, failWindow = false;
    std::set<std::string> failMovesTo;   // upper-case destinations that refuse a move
    std::set<std::string> failWritesTo;  // upper-case paths that refuse to be written
    std::set<std::string> failCopiesTo;  // upper-case destinations of copies that find the disk full
    int windowFailures = 0;  // the next window creations that fail
    bool copyTruncates = false;  // a copy that writes half the file, then fails
    int appendFailures = 0;      // the next appends that fail (disk full)

    // Window and timer.
    bool windowCreated = false, windowShown = false;
    FormDesign design;  // as the window was created
    std::string labelText;
    std::vector<std::string> windowEvents;  // "caption", "show", "repaint", "wait"
    std::uint32_t timerInterval = 0;
    std::uint64_t timerDue = 0;
    std::vector<std::uint64_t> tickTimes;  // virtual ms at which the timer fired
    int nestedTicks = 0;                   // timer handler runs that began inside a handler

    std::vector<std::string> debugOutput;
    bool ended = false;
    int exitCode = -1;

    void SetLocalTime(int y, int mo, int d, int h, int mi, int s);
    // The wall clock put forward or back; as Windows, file and process
    // times already taken stay as they were.
    void ShiftClock(std::int64_t seconds) { wallBase_[mono_] = wallBase_.rbegin()->second + seconds; }
    int HandlersRunning() const { return handlerDepth_; }
    std::uint64_t now() const { return mono_; }
    // Lets virtual time pass, firing the timer as it falls due; returns
    // false once the program has ended.
    bool RunFor(std::uint64_t ms);
    // A hook run whenever virtual time moves (from PumpUntil or RunFor).
    std::function<void(MemPlatform&)> onTime;
    // A moment the host wants to see: time moving past it stops there
    // first, waits included, so that onTime runs at that very instant.
    std::uint64_t hostWakesAt = UINT64_MAX;

    // --- Platform ------------------------------------------------------
    std::string AppFolder() override;
    void SetAppTitle(const std::string& title) override;
    bool PrevInstance(const std::string& mutexName) override;
    void LeaveInstance() override { LetGoNamed(ownPid); }
    std::string CommandArgs() override { return commandArgs; }
    std::uint32_t OwnPid() override { return ownPid; }
    std::string ownImage;  // "": the monitor's name in appFolder
    std::string OwnImage() override { return ownImage.empty() ? appFolder + "\\ROREROZARIRADI.exe" : ownImage; }
    std::uint32_t StartWithArgs(const std::string& path, const std::string& args) override;  // as StartProgram
    std::string FileVersion(const std::string& path) override;
    bool ComputerName(char* buffer, std::uint32_t* size) override;

    ListResult ListFirst(const std::string& path) override;
    bool RemoveFile(const std::string& path) override;
    bool CopyFileTo(const std::string& from, const std::string& to) override;
    bool MoveReplace(const std::string& from, const std::string& to) override;
    bool WriteText(const std::string& path, const std::string& text) override;
    bool AppendText(const std::string& path, const std::string& text) override;
    ReadStatus ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) override;
    bool ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                           FileStamp& stamp) override;
    RemoveCheck RemoveIfUnchanged(const std::string& path, const FileCheck& check) override;
    bool StatFile(const std::string& path, FileStamp& stamp) override;

    long RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) override;
    long RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) override;
    long RegRemoveValue(Handle key, const std::string& name) override;
    long RegClose(Handle key) override;

    bool EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) override;
    Handle OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) override;
    bool EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) override;
    std::uint32_t ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) override;
    bool ExitCodeOf(Handle process, std::uint32_t* code) override;
    bool TerminateProc(Handle process, std::uint32_t code) override;
    bool CloseHandle(Handle handle) override;
    std::uint32_t LastError() override;
    std::uint32_t StartProgram(const std::string& path) override;

    Handle FindAppWindow(const std::string& className, const std::string& title) override;
    void RestoreAndActivate(Handle window) override;
    bool CreateMainWindow(const FormDesign& design) override;
    void SetLabelText(const std::string& text) override;
    void ShowMainWindow() override;
    void RepaintLabel() override;
    void SetTimer(std::uint32_t intervalMs) override;
    void SetTimerHandler(std::function<void()> handler) override;

    std::uint64_t MonotonicMs() override;
    LocalTime Now() override;
    LocalTime ToLocalTime(std::uint64_t fileTime) override;
    void PumpUntil(std::uint64_t deadlineMs) override;

    void DebugOutput(const std::string& text) override;
    [[noreturn]] void EndProgram(int exitCode) override;

    // Update support.
    bool ClearAttributes(const std::string& path) override;
    bool ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) override;
    // Census support. The snapshot lists every live process under the file
    // name of its path, or under `snapshotName` when that is set (an 8.3
    // form, say).
    bool ProcessSnapshot(std::vector<ProcessEntry>& out) override;
    PathKind Attributes(const std::string& path) override;
    bool FlushFile(const std::string& path) override;
    bool MayRename(const std::string& path) override;
    bool PumpUntilEnded(Handle process, std::uint64_t deadlineMs) override;
    std::uint64_t SystemTime() override;
    // Strict as a wait on a bad handle: throws when the handle lacks
    // SYNCHRONIZE, or when the watched handle is closed.
    void WatchProcess(Handle process) override;
    void SetProcessEndHandler(std::function<void()> handler) override;
    bool snapshotFails = false;
    int snapshotCalls = 0;
    // Frozen managers. A dump takes `dumpTakesMs` of virtual time; one that
    // outlasts its limit fails with 258. A written dump starts with "MDMP".
    std::vector<TopWindow> TopWindows(const std::vector<std::uint32_t>& pids) override;
    std::uint32_t WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) override;
    std::vector<std::string> ListNames(const std::string& pattern) override;
    std::uint64_t dumpTakesMs = 800;
    // The share worker runs on a stack of its own (a context switched to on
    // the one thread), only ever while the user-interface side waits for
    // it: each job runs at once, up to
    // its end or to a call that takes simulated time (Stall), and goes on
    // when the virtual clock reaches that call's end.
    void StartWork(std::function<void()> job) override;
    void SetWorkDoneHandler(std::function<void()> handler) override;
    // A call that takes `ms` of simulated time. On the worker, the clock
    // runs on meanwhile; on the user-interface thread it is blocked, and
    // nothing happens but the time passing.
    void Stall(std::uint64_t ms);
    bool OnWorker() const { return onWorker_; }
    bool WorkBusy() const { return workBusy_; }
    // The worker of a process that has ended: a stalled job is unwound.
    void DropWork();
    // Signed updates: a true check and hash with OpenSSL over the file's
    // bytes; `noProvider` fails both as a provider that cannot be opened.
    SignatureCheck VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                       const std::string& signature) override;
    FileHash Sha256File(const std::string& path, std::string& digest) override;
    bool noProvider = false;
    int hashes = 0;  // files hashed so far
    // A process's start, and its end once it has ended; a process ended by
    // hand (alive set false) ended when this is asked.
    bool ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) override;

private:
    struct HandleInfo {
        std::uint32_t pid;
        std::uint32_t access;
    };
    std::map<std::string, Node> files_;  // upper-case path -> node
    std::map<Handle, HandleInfo> handles_;
    std::map<Handle, std::string> regKeys_;
    std::map<std::uint32_t, Proc*> byPid_;
    Handle nextHandle_ = 0x100;
    std::uint32_t nextPid_ = 1000;
    std::uint64_t nextIndex_ = 1;
    std::uint32_t lastError_ = 0;
    std::uint64_t mono_ = 10000;
    std::map<std::uint64_t, std::int64_t> wallBase_{{0, 0}};  // from this mono_ on: local seconds since 1970 at mono_ == 0
    std::map<std::string, std::pair<std::uint64_t, Node>> seen_;  // a share's client cache: when, and what was there
    std::function<void()> onTimer_;
    std::function<void()> onEnd_;
    Handle watched_ = 0;
    int handlerDepth_ = 0;  // handlers running, one inside the other
    std::function<void()> onWorkDone_;
    ucontext_t uiContext_{}, workerContext_{};
    std::vector<char> workerStack_;
    bool onWorker_ = false;       // the worker's context runs
    bool workFinished_ = false;   // the job has returned; its message is posted
    bool workBusy_ = false;       // given, and the done handler not yet run
    bool workAbandoned_ = false;  // the platform goes: a stalled job unwinds
    std::function<void()> job_;   // handed to the worker
    std::uint64_t workerWakesAt_ = UINT64_MAX;
    std::exception_ptr workFault_;

    void ResumeWorker();  // runs the worker until it stalls or ends
    static void WorkerEntry();
    void RunJob();

    void AdvanceTo(std::uint64_t t);
    void Pump(std::uint64_t until, const Proc* awaited);
    void RunHandler(const std::function<void()>& handler);
    const Proc* Watched();
    void EndProcessesDue();
    // When `p` ends by itself if nothing changes: its lingering, its stop
    // request or its crash; UINT64_MAX when it does not.
    std::uint64_t EndsAt(const Proc& p) const;
    // Whether a live process runs from `path`: its image can be read, but
    // neither written, replaced nor removed.
    bool ImageInUse(const std::string& path) const;
    // Open elsewhere in a way that forbids deleting or replacing it.
    bool Pinned(const std::string& path) const;
    bool HostUnreachable(const std::string& path) const;
    const Node* Cached(const std::string& path);  // as the share's client cache answers
    FileStamp HandleStamp(const Node& n);         // as the share's server answers through a handle
    bool ParentExists(const std::string& path) const;
    Node* Lookup(const std::string& path);
    bool Fail(std::uint32_t error);
    std::string NamedKey(const std::string& name) const;
    std::set<std::uint32_t>& LiveHolders(const std::string& name);
    // The process behind a handle opened with all of `rights` and, when
    // `anyOf` is given, one of those; null, with the last error set, when
    // the handle is unknown or lacks a right.
    Proc* Granted(Handle process, std::uint32_t rights, std::uint32_t anyOf = 0);
    std::uint64_t FileTimeAt(std::uint64_t mono) const;
    LocalTime LocalAt(std::int64_t localSeconds) const;
};

}  // namespace rz
