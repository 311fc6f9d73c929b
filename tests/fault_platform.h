// A Platform that passes every call on to an in-memory one, counts the calls
// that can fail, and makes one of them fail or end the program: the way to
// see what a fault at any point of an operation leaves behind.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "mem_platform.h"

namespace rz {

class FaultPlatform : public Platform {
public:
    explicit FaultPlatform(MemPlatform& inner) : mem(inner) {}

    MemPlatform& mem;
    int calls = 0;   // calls that can fail, so far
    int failAt = 0;  // this call fails (1-based; 0: none)
    int endAt = 0;   // the program ends at this call, before it runs
    // The failing call keeps failing: every later call of the same kind on
    // the same path (or process call of the same kind) fails too.
    bool lasting = false;
    bool powerCut = false;  // the end at `endAt` is a power cut
    const std::string& LastingCall() const { return lastingCall_; }  // "Name|PATH", once it has failed
    void ClearLastingFault() { lastingCall_.clear(); }
    // Runs before each counted call, with the call's name.
    std::function<void(const std::string&)> onCall;
    // Share calls: those naming a path on a share (\\host\...) or on
    // drive G:, where the updates are. One of them can be made to take
    // simulated time, as a call to a server that has gone does.
    int shareCalls = 0;
    std::vector<std::string> shareCallNames;
    int stallShareCall = 0;  // this share call (1-based) takes stallMs
    std::uint64_t stallMs = 0;
    std::uint64_t stallBegan = 0;  // virtual ms, once it has begun
    int shareCallsOnUi = 0;        // made by the user-interface thread
    int shareCallsMeanwhile = 0;   // begun while the stalled one was out
    // A server that hangs until then, and one that crawls: each share call
    // made on the worker waits this long besides.
    std::uint64_t shareHangsUntil = 0;
    std::uint64_t shareCallMs = 0;
    // When the call being made was made: a share call returns later.
    std::uint64_t callMadeAt = 0;
    // Faults by what is called, for a while: the error that the call with
    // this name, path and other path fails with; 0 for none.
    std::function<std::uint32_t(const std::string& name, const std::string& path, const std::string& other)>
        failWhen;
    // Told of every move, with its outcome.
    std::function<void(const std::string& from, const std::string& to, bool moved)> onMove;

    std::string AppFolder() override { return mem.AppFolder(); }
    void SetAppTitle(const std::string& title) override { mem.SetAppTitle(title); }
    bool PrevInstance(const std::string& name) override { return mem.PrevInstance(name); }
    void LeaveInstance() override { mem.LeaveInstance(); }
    std::string CommandArgs() override { return mem.CommandArgs(); }
    std::uint32_t OwnPid() override { return mem.OwnPid(); }
    std::string OwnImage() override { return mem.OwnImage(); }
    std::uint32_t StartWithArgs(const std::string& path, const std::string& args) override;
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
    long RegRemoveValue(Handle key, const std::string& name) override {
        return Hit("RegRemoveValue", 5, name) ? 5 : mem.RegRemoveValue(key, name);
    }
    long RegClose(Handle key) override;

    bool EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) override;
    Handle OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) override;
    bool EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) override;
    std::uint32_t ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) override;
    bool ExitCodeOf(Handle process, std::uint32_t* code) override;
    bool TerminateProc(Handle process, std::uint32_t code) override;
    bool CloseHandle(Handle handle) override;
    std::uint32_t LastError() override { return injected_ ? injectedError_ : mem.LastError(); }
    std::uint32_t StartProgram(const std::string& path) override;

    Handle FindAppWindow(const std::string& className, const std::string& title) override {
        return mem.FindAppWindow(className, title);
    }
    void RestoreAndActivate(Handle window) override { mem.RestoreAndActivate(window); }
    bool CreateMainWindow(const FormDesign& design) override;
    void SetLabelText(const std::string& text) override { mem.SetLabelText(text); }
    void ShowMainWindow() override { mem.ShowMainWindow(); }
    void RepaintLabel() override { mem.RepaintLabel(); }
    void SetTimer(std::uint32_t intervalMs) override { mem.SetTimer(intervalMs); }
    void SetTimerHandler(std::function<void()> handler) override { mem.SetTimerHandler(std::move(handler)); }

    std::uint64_t MonotonicMs() override { return mem.MonotonicMs(); }
    LocalTime Now() override { return mem.Now(); }
    LocalTime ToLocalTime(std::uint64_t fileTime) override { return mem.ToLocalTime(fileTime); }
    void PumpUntil(std::uint64_t deadlineMs) override { mem.PumpUntil(deadlineMs); }

    void DebugOutput(const std::string& text) override { mem.DebugOutput(text); }
    [[noreturn]] void EndProgram(int exitCode) override {
        mem.EndProgram(exitCode);
        std::abort();  // never reached: the in-memory platform throws
    }

    bool ClearAttributes(const std::string& path) override;
    bool ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) override;
    bool ProcessSnapshot(std::vector<ProcessEntry>& out) override;
    PathKind Attributes(const std::string& path) override;
    bool FlushFile(const std::string& path) override;
    bool MayRename(const std::string& path) override;
    bool PumpUntilEnded(Handle process, std::uint64_t deadlineMs) override;
    std::uint64_t SystemTime() override { return mem.SystemTime(); }
    SignatureCheck VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                       const std::string& signature) override;
    FileHash Sha256File(const std::string& path, std::string& digest) override;
    bool ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) override;
    void WatchProcess(Handle process) override { mem.WatchProcess(process); }
    void SetProcessEndHandler(std::function<void()> handler) override {
        mem.SetProcessEndHandler(std::move(handler));
    }
    std::vector<TopWindow> TopWindows(const std::vector<std::uint32_t>& pids) override { return mem.TopWindows(pids); }
    std::uint32_t WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) override {
        return mem.WriteMiniDump(pid, path, limitMs);
    }
    std::vector<std::string> ListNames(const std::string& pattern) override { return mem.ListNames(pattern); }
    void StartWork(std::function<void()> job) override { mem.StartWork(std::move(job)); }
    void SetWorkDoneHandler(std::function<void()> handler) override { mem.SetWorkDoneHandler(std::move(handler)); }

private:
    bool injected_ = false;
    std::uint32_t injectedError_ = 0;
    std::string lastingCall_;  // name and path of a lasting fault

    // Counts a call; true when it is one to fail, with `error` as its last
    // error. Ends the program when it is the one to end at.
    bool Hit(const char* name, std::uint32_t error, const std::string& path = std::string(),
             const std::string& other = std::string());
    void ShareCall(const char* name, const std::string& path, const std::string& other);
    bool stalling_ = false;
};

}  // namespace rz
