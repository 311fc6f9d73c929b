#include "fault_platform.h"

#include "core/app.h"

namespace rz {

namespace {
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kBadNetPath = 53;
constexpr std::uint32_t kSharingViolation = 32;
}  // namespace

namespace {
bool OnShare(const std::string& path) {
    return path.compare(0, 2, "\\\\") == 0 || UCase(path.substr(0, 2)) == "G:";
}
}  // namespace

void FaultPlatform::ShareCall(const char* name, const std::string& path, const std::string& other) {
    if (!OnShare(path) && !OnShare(other)) return;
    ++shareCalls;
    shareCallNames.push_back(name);
    if (!mem.OnWorker()) ++shareCallsOnUi;
    if (stalling_) ++shareCallsMeanwhile;
    std::uint64_t wait = mem.OnWorker() ? shareCallMs + (shareHangsUntil > mem.now() ? shareHangsUntil - mem.now() : 0) : 0;
    if (shareCalls == stallShareCall) {
        stallBegan = mem.now();
        wait += stallMs;
    }
    if (wait == 0) return;
    // A stalled job that is unwound (its process has gone) ends its stall too.
    struct Stalling {
        bool& flag;
        ~Stalling() { flag = false; }
    } stalling{stalling_};
    stalling_ = true;
    mem.Stall(wait);
}

bool FaultPlatform::Hit(const char* name, std::uint32_t error, const std::string& path, const std::string& other) {
    // The other side runs while a share call waits, and makes its own calls.
    const std::uint64_t madeAt = mem.now();
    ShareCall(name, path, other);
    callMadeAt = madeAt;
    ++calls;
    injected_ = false;
    if (onCall) onCall(name);
    if (calls == endAt) {
        if (powerCut) mem.PowerCut();
        throw ProgramEnded{-9};
    }
    const std::string call = std::string(name) + "|" + UCase(path);
    if (calls == failAt && lasting) lastingCall_ = call;
    const std::uint32_t chosen = failWhen ? failWhen(name, path, other) : 0;
    if (chosen != 0) error = chosen;
    else if (calls != failAt && (lastingCall_.empty() || call != lastingCall_)) return false;
    injected_ = true;
    injectedError_ = error;
    return true;
}

std::string FaultPlatform::FileVersion(const std::string& path) {
    return Hit("FileVersion", kAccessDenied, path) ? std::string() : mem.FileVersion(path);
}

bool FaultPlatform::ComputerName(char* buffer, std::uint32_t* size) {
    return !Hit("ComputerName", kAccessDenied) && mem.ComputerName(buffer, size);
}

ListResult FaultPlatform::ListFirst(const std::string& path) {
    if (!Hit("ListFirst", kBadNetPath, path)) return mem.ListFirst(path);
    ListResult r;
    r.error = true;
    return r;
}

bool FaultPlatform::RemoveFile(const std::string& path) {
    return !Hit("RemoveFile", kSharingViolation, path) && mem.RemoveFile(path);
}

// A copy that fails does so half-way, leaving part of the file behind.
bool FaultPlatform::CopyFileTo(const std::string& from, const std::string& to) {
    if (!Hit("CopyFileTo", 112, to, from)) return mem.CopyFileTo(from, to);
    mem.copyTruncates = true;
    mem.CopyFileTo(from, to);
    mem.copyTruncates = false;
    return false;
}

bool FaultPlatform::MoveReplace(const std::string& from, const std::string& to) {
    const bool moved = !Hit("MoveReplace", kAccessDenied, to, from) && mem.MoveReplace(from, to);
    if (onMove) onMove(from, to, moved);
    return moved;
}

bool FaultPlatform::WriteText(const std::string& path, const std::string& text) {
    return !Hit("WriteText", kAccessDenied, path) && mem.WriteText(path, text);
}

bool FaultPlatform::AppendText(const std::string& path, const std::string& text) {
    return !Hit("AppendText", kAccessDenied, path) && mem.AppendText(path, text);
}

ReadStatus FaultPlatform::ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) {
    return Hit("ReadSmallFile", kAccessDenied, path) ? ReadStatus::Error : mem.ReadSmallFile(path, limit, out);
}

bool FaultPlatform::ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                                      FileStamp& stamp) {
    return !Hit("ReadHeadDenyWrite", kSharingViolation, path) && mem.ReadHeadDenyWrite(path, count, head, stamp);
}

RemoveCheck FaultPlatform::RemoveIfUnchanged(const std::string& path, const FileCheck& check) {
    return Hit("RemoveIfUnchanged", kSharingViolation, path) ? RemoveCheck::Failed : mem.RemoveIfUnchanged(path, check);
}

bool FaultPlatform::StatFile(const std::string& path, FileStamp& stamp) {
    return !Hit("StatFile", kBadNetPath, path) && mem.StatFile(path, stamp);
}

long FaultPlatform::RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) {
    if (!Hit("RegOpenOrCreate", kAccessDenied)) return mem.RegOpenOrCreate(root, subKey, key);
    *key = 0;
    return kAccessDenied;
}

long FaultPlatform::RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) {
    return Hit("RegSetString", kAccessDenied, name) ? long(kAccessDenied) : mem.RegSetString(key, name, data, bytes);
}

long FaultPlatform::RegClose(Handle key) {
    const long r = mem.RegClose(key);  // the key is closed whatever the answer
    return Hit("RegClose", 6) ? 6 : r;
}

bool FaultPlatform::EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) {
    return !Hit("EnumProcessIds", kAccessDenied) && mem.EnumProcessIds(ids, bytes, returned);
}

Handle FaultPlatform::OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) {
    return Hit("OpenProc", kAccessDenied, std::to_string(pid)) ? 0 : mem.OpenProc(access, inherit, pid);
}

bool FaultPlatform::EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) {
    return !Hit("EnumModules", 299) && mem.EnumModules(process, modules, bytes, needed);
}

std::uint32_t FaultPlatform::ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) {
    return Hit("ModuleFileName", kAccessDenied) ? 0 : mem.ModuleFileName(process, module, buffer, size);
}

bool FaultPlatform::ExitCodeOf(Handle process, std::uint32_t* code) {
    return !Hit("ExitCodeOf", kAccessDenied) && mem.ExitCodeOf(process, code);
}

bool FaultPlatform::TerminateProc(Handle process, std::uint32_t code) {
    return !Hit("TerminateProc", kAccessDenied) && mem.TerminateProc(process, code);
}

bool FaultPlatform::CloseHandle(Handle handle) {
    const bool ok = mem.CloseHandle(handle);  // the handle is gone whatever the answer
    return !Hit("CloseHandle", 6) && ok;
}

std::uint32_t FaultPlatform::StartWithArgs(const std::string& path, const std::string& args) {
    return Hit("StartProgram", 193, path) ? 0 : mem.StartWithArgs(path, args);
}

std::uint32_t FaultPlatform::StartProgram(const std::string& path) {
    return Hit("StartProgram", 193, path) ? 0 : mem.StartProgram(path);
}

bool FaultPlatform::CreateMainWindow(const FormDesign& design) {
    return !Hit("CreateMainWindow", 1400) && mem.CreateMainWindow(design);
}

bool FaultPlatform::ClearAttributes(const std::string& path) {
    return !Hit("ClearAttributes", kAccessDenied, path) && mem.ClearAttributes(path);
}

bool FaultPlatform::ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) {
    return !Hit("ReadChunk", kSharingViolation, path) && mem.ReadChunk(path, offset, count, out);
}

bool FaultPlatform::ProcessSnapshot(std::vector<ProcessEntry>& out) {
    if (Hit("ProcessSnapshot", kAccessDenied)) {
        out.clear();
        return false;
    }
    return mem.ProcessSnapshot(out);
}

PathKind FaultPlatform::Attributes(const std::string& path) {
    return Hit("Attributes", kAccessDenied, path) ? PathKind::Unknown : mem.Attributes(path);
}

bool FaultPlatform::MayRename(const std::string& path) {
    return !Hit("MayRename", 5, path) && mem.MayRename(path);
}

bool FaultPlatform::FlushFile(const std::string& path) {
    return !Hit("FlushFile", 112, path) && mem.FlushFile(path);
}

bool FaultPlatform::PumpUntilEnded(Handle process, std::uint64_t deadlineMs) {
    return !Hit("PumpUntilEnded", 6) && mem.PumpUntilEnded(process, deadlineMs);
}

// A check that fails is one whose file cannot be read.
SignatureCheck FaultPlatform::VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                                  const std::string& signature) {
    return Hit("VerifyFileSignature", kSharingViolation, path) ? SignatureCheck::Unreadable
                                                         : mem.VerifyFileSignature(key, path, signature);
}

FileHash FaultPlatform::Sha256File(const std::string& path, std::string& digest) {
    return Hit("Sha256File", kSharingViolation, path) ? FileHash::Unreadable : mem.Sha256File(path, digest);
}

bool FaultPlatform::ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) {
    return !Hit("ProcessTimes", kAccessDenied) && mem.ProcessTimes(process, created, exited);
}

}  // namespace rz
