#include "fault_platform.h"

namespace rz {

namespace {
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kBadNetPath = 53;
constexpr std::uint32_t kSharingViolation = 32;
}  // namespace

bool FaultPlatform::Hit(const char* name, std::uint32_t error) {
    ++calls;
    injected_ = false;
    if (onCall) onCall(name);
    if (calls == endAt) throw ProgramEnded{-9};
    if (calls != failAt) return false;
    injected_ = true;
    injectedError_ = error;
    return true;
}

std::string FaultPlatform::FileVersion(const std::string& path) {
    return Hit("FileVersion", kAccessDenied) ? std::string() : mem.FileVersion(path);
}

bool FaultPlatform::ComputerName(char* buffer, std::uint32_t* size) {
    return !Hit("ComputerName", kAccessDenied) && mem.ComputerName(buffer, size);
}

ListResult FaultPlatform::ListFirst(const std::string& path) {
    if (!Hit("ListFirst", kBadNetPath)) return mem.ListFirst(path);
    ListResult r;
    r.error = true;
    return r;
}

bool FaultPlatform::RemoveFile(const std::string& path) {
    return !Hit("RemoveFile", kSharingViolation) && mem.RemoveFile(path);
}

// A copy that fails does so half-way, leaving part of the file behind.
bool FaultPlatform::CopyFileTo(const std::string& from, const std::string& to) {
    if (!Hit("CopyFileTo", 112)) return mem.CopyFileTo(from, to);
    mem.copyTruncates = true;
    mem.CopyFileTo(from, to);
    mem.copyTruncates = false;
    return false;
}

bool FaultPlatform::MoveReplace(const std::string& from, const std::string& to) {
    return !Hit("MoveReplace", kAccessDenied) && mem.MoveReplace(from, to);
}

bool FaultPlatform::WriteText(const std::string& path, const std::string& text) {
    return !Hit("WriteText", kAccessDenied) && mem.WriteText(path, text);
}

bool FaultPlatform::AppendText(const std::string& path, const std::string& text) {
    return !Hit("AppendText", kAccessDenied) && mem.AppendText(path, text);
}

ReadStatus FaultPlatform::ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) {
    return Hit("ReadSmallFile", kAccessDenied) ? ReadStatus::Error : mem.ReadSmallFile(path, limit, out);
}

bool FaultPlatform::ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                                      std::uint64_t& length) {
    return !Hit("ReadHeadDenyWrite", kSharingViolation) && mem.ReadHeadDenyWrite(path, count, head, length);
}

bool FaultPlatform::StatFile(const std::string& path, FileStamp& stamp) {
    return !Hit("StatFile", kBadNetPath) && mem.StatFile(path, stamp);
}

long FaultPlatform::RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) {
    if (!Hit("RegOpenOrCreate", kAccessDenied)) return mem.RegOpenOrCreate(root, subKey, key);
    *key = 0;
    return kAccessDenied;
}

long FaultPlatform::RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) {
    return Hit("RegSetString", kAccessDenied) ? long(kAccessDenied) : mem.RegSetString(key, name, data, bytes);
}

long FaultPlatform::RegClose(Handle key) {
    const long r = mem.RegClose(key);  // the key is closed whatever the answer
    return Hit("RegClose", 6) ? 6 : r;
}

bool FaultPlatform::EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) {
    return !Hit("EnumProcessIds", kAccessDenied) && mem.EnumProcessIds(ids, bytes, returned);
}

Handle FaultPlatform::OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) {
    return Hit("OpenProc", kAccessDenied) ? 0 : mem.OpenProc(access, inherit, pid);
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

std::uint32_t FaultPlatform::StartProgram(const std::string& path) {
    return Hit("StartProgram", 193) ? 0 : mem.StartProgram(path);
}

bool FaultPlatform::CreateMainWindow(const FormDesign& design) {
    return !Hit("CreateMainWindow", 1400) && mem.CreateMainWindow(design);
}

bool FaultPlatform::ClearAttributes(const std::string& path) {
    return !Hit("ClearAttributes", kAccessDenied) && mem.ClearAttributes(path);
}

bool FaultPlatform::ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) {
    return !Hit("ReadChunk", kSharingViolation) && mem.ReadChunk(path, offset, count, out);
}

bool FaultPlatform::ProcessSnapshot(std::vector<ProcessEntry>& out) {
    if (Hit("ProcessSnapshot", kAccessDenied)) {
        out.clear();
        return false;
    }
    return mem.ProcessSnapshot(out);
}

// A check that fails is one whose file cannot be read.
SignatureCheck FaultPlatform::VerifyFileSignature(const std::string& publicKeyPem, const std::string& path,
                                                  const std::string& signature) {
    return Hit("VerifyFileSignature", kSharingViolation) ? SignatureCheck::Unreadable
                                                         : mem.VerifyFileSignature(publicKeyPem, path, signature);
}

}  // namespace rz
