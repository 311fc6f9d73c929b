// The one seam between the monitor and the operating system. Everything the
// program asks of Windows goes through this interface, so that all logic
// above it runs and is tested on Linux against an in-memory implementation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rz {

using Handle = std::uintptr_t;  // 0 stands for "no handle"

struct LocalTime {
    int year = 2000, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0;
};

// Outcome of a directory listing of one path.
struct ListResult {
    bool error = false;     // the listing itself failed (unreachable host, ...)
    std::string first;      // first listed name, empty when nothing matched
};

enum class ReadStatus { Ok, Missing, TooLarge, Error };

// What a path names, from its attributes. Unknown: the system answered
// with an error other than "not found", so nothing can be said.
enum class PathKind { Missing, File, Folder, Unknown };

// Length and last-write time of a file, as its folder entry gives them.
struct FileStamp {
    std::uint64_t length = 0;
    std::uint64_t lastWrite = 0;  // FILETIME: 100 ns units since 1601-01-01 UTC
    std::uint64_t index = 0;      // the file's index on its volume, from an open handle; 0 when unknown
    // False when the system refused an open handle's information (a server
    // may): length, time and index are then 0.
    bool known = true;
};

// Answer of a removal that checks what it removes.
enum class RemoveCheck { Removed, Changed, Failed };

// Answer of a file's SHA-256.
enum class FileHash { Done, Unreadable, NoProvider };
// The SHA-256 of an open file's bytes, read through that handle, as 64
// lower-case hex digits.
using HandleHash = std::function<FileHash(std::string& digest)>;
// Whether an open file is the one meant, from what its handle tells of it
// and, where that cannot tell, its bytes: Removed when it is, Changed when
// it is another, Failed when that cannot be told (LastError says why).
using FileCheck = std::function<RemoveCheck(const FileStamp& now, const HandleHash& sha256)>;

// A picture stored as a Windows bitmap file image (BITMAPFILEHEADER first).
struct Picture {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

// One process of a system-wide snapshot: its id and the file name of its
// executable as the snapshot gives it (possibly a short 8.3 form; empty
// when the platform cannot tell it exactly).
struct ProcessEntry {
    std::uint32_t pid = 0;
    std::string exeFile;
};

// A top-level window of a watched process, as the system sees it now.
struct TopWindow {
    Handle window = 0;
    std::uint32_t pid = 0;
    bool visible = false;
    bool hung = false;  // IsHungAppWindow: it has taken no message for about 5 s
};

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;  // pixels
};

// What the Win32 layer needs to draw the main window; the values belong
// to the window module, the drawing to the platform.
struct FormDesign {
    std::string title;
    int clientWidth = 0, clientHeight = 0;
    std::uint32_t backColor = 0, foreColor = 0;  // 0x00BBGGRR
    struct Image {
        Rect box;
        Picture picture;
        bool stretch = false;
    };
    Image images[4];  // drawn in this order, before the label
    int imageCount = 0;
    Rect labelBox;
    std::uint32_t labelBackColor = 0, labelTextColor = 0;
    std::string labelFont;
    int labelPoints = 0;
    bool labelBold = false;
};

// Answer of a detached-signature check.
enum class SignatureCheck {
    Valid,        // the signature is the key's, over these very bytes
    Invalid,      // it is not (other key, other bytes, cut short, empty)
    KeyUnusable,  // the system would not take the key
    Unreadable,   // the file cannot be read; LastError tells why
    NoProvider    // the crypto provider cannot be opened; LastError tells why
};
// An RSA public key as the key file reader found it.
struct RsaPublicKey {
    std::string modulus;  // big-endian, without leading zeros
    std::uint32_t exponent = 0;
    unsigned bits = 0;
    std::string pem;  // its block of the key file
};
constexpr unsigned kLeastKeyBits = 2048;  // shorter RSA keys are refused

class Platform {
public:
    virtual ~Platform() = default;

    // Identity of the running program.
    virtual std::string AppFolder() = 0;  // folder of the running executable, no trailing backslash
    virtual void SetAppTitle(const std::string& title) = 0;  // text of the hidden application window
    // Creates the named mutex, or opens it, and keeps it for the life of
    // the process; true when another process had it (CreateMutexA).
    virtual bool PrevInstance(const std::string& mutexName) = 0;
    virtual std::string FileVersion(const std::string& path) = 0;  // "a.b.c.d", "" when unknown
    virtual bool ComputerName(char* buffer, std::uint32_t* size) = 0;  // GetComputerNameA

    // Files. Paths are Windows paths in the 8-bit code page.
    virtual ListResult ListFirst(const std::string& path) = 0;  // a trailing backslash lists the folder
    virtual bool RemoveFile(const std::string& path) = 0;
    virtual bool CopyFileTo(const std::string& from, const std::string& to) = 0;  // replaces `to`
    virtual bool MoveReplace(const std::string& from, const std::string& to) = 0;  // one step, write-through
    virtual bool WriteText(const std::string& path, const std::string& text) = 0;  // create or truncate
    virtual bool AppendText(const std::string& path, const std::string& text) = 0;  // create when missing
    virtual ReadStatus ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) = 0;
    // Opens `path` for reading while denying writers and returns its first
    // `count` bytes, and its length, last-write time and file index through
    // that handle (GetFileInformationByHandle; `stamp.known` false when the
    // system refuses them). False when it cannot be opened that way.
    virtual bool ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                                   FileStamp& stamp) = 0;
    // Deletes `path` only while `check` finds it the file meant: one handle,
    // opened with read and delete access and denying writers and deleters,
    // shows it to `check` and deletes it, so that nothing can take its place
    // in between. Changed: another file is there now, or none. Failed: it
    // cannot be opened so, told, or deleted; LastError tells why.
    virtual RemoveCheck RemoveIfUnchanged(const std::string& path, const FileCheck& check) = 0;
    // The folder entry's length and last-write time, without opening the
    // file (GetFileAttributesExA). False for a folder or a missing file.
    virtual bool StatFile(const std::string& path, FileStamp& stamp) = 0;

    // Registry (RegCreateKeyA, RegSetValueExA with REG_SZ, RegDeleteValueA,
    // RegCloseKey).
    virtual long RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) = 0;
    virtual long RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) = 0;
    virtual long RegRemoveValue(Handle key, const std::string& name) = 0;  // 2: there was none
    virtual long RegClose(Handle key) = 0;

    // Processes, one call each of the Win32 process status and process functions.
    virtual bool EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) = 0;
    virtual Handle OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) = 0;
    virtual bool EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) = 0;
    virtual std::uint32_t ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) = 0;
    virtual bool ExitCodeOf(Handle process, std::uint32_t* code) = 0;
    virtual bool TerminateProc(Handle process, std::uint32_t code) = 0;
    virtual bool CloseHandle(Handle handle) = 0;
    virtual std::uint32_t LastError() = 0;
    // Starts `path` with the path alone as command line, minimised and not
    // activated; returns the new process id, 0 when nothing started.
    virtual std::uint32_t StartProgram(const std::string& path) = 0;

    // Windows.
    virtual Handle FindAppWindow(const std::string& className, const std::string& title) = 0;
    virtual void RestoreAndActivate(Handle window) = 0;  // OpenIcon, SetForegroundWindow
    virtual bool CreateMainWindow(const FormDesign& design) = 0;
    virtual void SetLabelText(const std::string& text) = 0;
    virtual void ShowMainWindow() = 0;  // not modal; active and in front
    virtual void RepaintLabel() = 0;    // on screen before this returns
    virtual void SetTimer(std::uint32_t intervalMs) = 0;  // 0 stops it; any call restarts the count
    virtual void SetTimerHandler(std::function<void()> handler) = 0;

    // Time and waiting.
    virtual std::uint64_t MonotonicMs() = 0;
    virtual LocalTime Now() = 0;
    virtual LocalTime ToLocalTime(std::uint64_t fileTime) = 0;  // a FILETIME in local time
    // Processes window messages and sleeps until the next message or the
    // deadline (a MonotonicMs value); returns at the latest at the deadline.
    virtual void PumpUntil(std::uint64_t deadlineMs) = 0;

    virtual void DebugOutput(const std::string& text) = 0;  // OutputDebugStringA
    [[noreturn]] virtual void EndProgram(int exitCode) = 0;

    // Update support.
    // Clears the read-only, hidden and system attributes of a file or folder.
    virtual bool ClearAttributes(const std::string& path) = 0;
    // Reads up to `count` bytes at `offset` while denying writers; `out`
    // ends short only at the end of the file.
    virtual bool ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) = 0;
    // Census support.
    // One system-wide snapshot of process ids and executable file names, in
    // the order of the process table (NtQuerySystemInformation with
    // SystemProcessInformation). False when it failed or was cut short.
    virtual bool ProcessSnapshot(std::vector<ProcessEntry>& out) = 0;

    // What is at `path` (GetFileAttributesA): unlike a listing, it sees
    // hidden and system files.
    virtual PathKind Attributes(const std::string& path) = 0;
    // Writes what the system still holds of a file's data through to the
    // disk (FlushFileBuffers), so that it survives a power cut.
    virtual bool FlushFile(const std::string& path) = 0;
    // Processes window messages until `process`, a handle opened with
    // SYNCHRONIZE, has ended, or until the deadline (a MonotonicMs value).
    // True when it has ended.
    virtual bool PumpUntilEnded(Handle process, std::uint64_t deadlineMs) = 0;
    // The wall clock as a FILETIME in UTC (GetSystemTimeAsFileTime).
    virtual std::uint64_t SystemTime() = 0;
    // Signed updates.
    // Checks `signature` (RSA PKCS#1 v1.5 over SHA-256, as OpenSSL writes
    // it: big-endian) of the whole file `path`, read while writers are
    // denied, against one RSA public key.
    virtual SignatureCheck VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                               const std::string& signature) = 0;
    // The SHA-256 of the whole file `path`, read while writers are denied,
    // as 64 lower-case hex digits.
    virtual FileHash Sha256File(const std::string& path, std::string& digest) = 0;
    // Creation and exit times (FILETIME, UTC) of a process opened with
    // query rights; `exited` is 0 while it runs (GetProcessTimes).
    virtual bool ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) = 0;

    // The process whose end the message loop waits for, beside messages:
    // a handle opened with SYNCHRONIZE, 0 for none. Every pumping wait and
    // the main loop wait on it; when it has ended, the end handler runs,
    // once, from whichever of them is waiting, as a timer handler would.
    // The handle then leaves the wait until it is given again: an ended
    // process stays signalled. The caller keeps the handle, and gives 0
    // here before it closes it.
    virtual void WatchProcess(Handle process) = 0;
    virtual void SetProcessEndHandler(std::function<void()> handler) = 0;

    // Frozen managers.
    // The top-level windows of the processes `pids` that are visible or
    // hung: the system hides a window that has hung behind a ghost of it,
    // which belongs to another process. Nothing is sent to the windows, so
    // a hung one cannot hold the caller.
    virtual std::vector<TopWindow> TopWindows(const std::vector<std::uint32_t>& pids) = 0;
    // Writes a minidump (MiniDumpNormal) of process `pid` to `path`, with
    // dbghelp.dll loaded for it, waiting at most `limitMs` while window
    // messages are processed. 0 when it is written; else the system error
    // (WAIT_TIMEOUT, 258, when the time ran out), and no file is left.
    virtual std::uint32_t WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) = 0;
    // The names of the files and folders matching `pattern` (a folder, a
    // backslash and a name with one '*'), in no particular order.
    virtual std::vector<std::string> ListNames(const std::string& pattern) = 0;
    // The share worker: one thread beside the user-interface thread that
    // runs one job at a time and sleeps on an event in between. When the
    // job has returned, the done handler runs on the user-interface thread
    // from the message loop or a pumping wait (a posted message), as a
    // timer handler would. The next job is given only after that.
    virtual void StartWork(std::function<void()> job) = 0;
    virtual void SetWorkDoneHandler(std::function<void()> handler) = 0;

    // The monitor's own update.
    // What the program's command line holds after its own name.
    virtual std::string CommandArgs() = 0;
    virtual std::uint32_t OwnPid() = 0;  // GetCurrentProcessId
    // The file this process was started from (GetModuleFileNameA): a rename
    // of its image while it runs does not show here.
    virtual std::string OwnImage() = 0;
    // Starts `path` as StartProgram does, with `args` after its quoted
    // name on the command line.
    virtual std::uint32_t StartWithArgs(const std::string& path, const std::string& args) = 0;
    // Lets go of what PrevInstance found or made, so that another instance
    // is the one later starts find; PrevInstance takes it up again.
    virtual void LeaveInstance() = 0;
    // Whether this program may rename or delete `path`: an open with DELETE
    // access and every sharing allowed, closed at once (the right of the
    // file, or of its folder over what it holds). False, LastError saying
    // why, when it may not.
    virtual bool MayRename(const std::string& path) = 0;
};

// The program's entry, defined above the platform: the process entry calls
// it once with the platform to run on. It returns once start-up has armed
// the monitor timer; every other way out ends the process.
void ProgramMain(Platform& platform);

}  // namespace rz
