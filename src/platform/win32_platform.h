// The Platform on real Windows (and Wine).
#pragma once

#include <memory>

#include "platform/platform.h"

namespace rz {

class Win32Platform : public Platform {
public:
    Win32Platform();
    ~Win32Platform() override;

    // The program itself, the clocks and the end (win32_platform.cpp).
    std::string AppFolder() override;
    bool PrevInstance(const std::string& mutexName) override;
    void LeaveInstance() override;
    std::string CommandArgs() override;
    std::uint32_t OwnPid() override;
    std::string OwnImage() override;
    std::uint32_t StartWithArgs(const std::string& path, const std::string& args) override;
    bool ComputerName(char* buffer, std::uint32_t* size) override;
    std::uint32_t LastError() override;
    std::uint64_t MonotonicMs() override;
    LocalTime Now() override;
    LocalTime ToLocalTime(std::uint64_t fileTime) override;
    std::uint64_t SystemTime() override;
    void DebugOutput(const std::string& text) override;
    [[noreturn]] void EndProgram(int exitCode) override;

    // Files and their content (win32_files.cpp).
    ListResult ListFirst(const std::string& path) override;
    std::vector<std::string> ListNames(const std::string& pattern) override;
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
    bool ClearAttributes(const std::string& path) override;
    PathKind Attributes(const std::string& path) override;
    bool FlushFile(const std::string& path) override;
    bool MayRename(const std::string& path) override;
    bool ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) override;
    std::string FileVersion(const std::string& path) override;
    SignatureCheck VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                       const std::string& signature) override;
    FileHash Sha256File(const std::string& path, std::string& digest) override;

    // The registry (win32_registry.cpp).
    long RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) override;
    long RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) override;
    long RegRemoveValue(Handle key, const std::string& name) override;
    long RegClose(Handle key) override;

    // Processes (win32_processes.cpp).
    bool EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) override;
    Handle OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) override;
    bool EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) override;
    std::uint32_t ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) override;
    bool ExitCodeOf(Handle process, std::uint32_t* code) override;
    bool TerminateProc(Handle process, std::uint32_t code) override;
    bool CloseHandle(Handle handle) override;
    std::uint32_t StartProgram(const std::string& path) override;
    bool ProcessSnapshot(std::vector<ProcessEntry>& out) override;
    bool ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) override;

    // The message loop with its windows and timer (win32_loop.cpp).
    void SetAppTitle(const std::string& title) override;
    Handle FindAppWindow(const std::string& className, const std::string& title) override;
    void RestoreAndActivate(Handle window) override;
    bool CreateMainWindow(const FormDesign& design) override;
    void SetLabelText(const std::string& text) override;
    void ShowMainWindow() override;
    void RepaintLabel() override;
    void SetTimer(std::uint32_t intervalMs) override;
    void SetTimerHandler(std::function<void()> handler) override;
    void PumpUntil(std::uint64_t deadlineMs) override;
    bool PumpUntilEnded(Handle process, std::uint64_t deadlineMs) override;
    void WatchProcess(Handle process) override;
    void SetProcessEndHandler(std::function<void()> handler) override;
    // Dispatches window messages, and waits for the watched process, until
    // the program is ended.
    [[noreturn]] void MessageLoop();

    // The share worker (win32_worker.cpp).
    void StartWork(std::function<void()> job) override;
    void SetWorkDoneHandler(std::function<void()> handler) override;

    // Frozen managers (win32_hung.cpp).
    std::vector<TopWindow> TopWindows(const std::vector<std::uint32_t>& pids) override;
    std::uint32_t WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) override;

    struct Impl;

private:
    std::uint32_t Start(const std::string& path, const std::string& commandLine);
    std::unique_ptr<Impl> impl_;
};

}  // namespace rz
