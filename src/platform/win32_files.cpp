// Files: listing, reading, writing, moving, removing, their stamps and
// attributes, and the checks of their content.
#include "platform/win32_impl.h"

#include <winternl.h>

#include "platform/win32_signature.h"
#include "platform/win32_version.h"

namespace rz {

namespace {

// Opens a file for reading while nobody may write to it; the error is
// kept when it cannot be opened so.
HANDLE OpenDenyWrite(const std::string& path) {
    const HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) Win32Platform::Impl::lastError = GetLastError();
    return f;
}

}  // namespace

ListResult Win32Platform::ListFirst(const std::string& path) {
    ListResult result;
    const std::string pattern = !path.empty() && path.back() == '\\' ? path + "*" : path;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        impl_->lastError = e;
        result.error = !(e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_NO_MORE_FILES);
        return result;
    }
    do {
        if (!(data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
            result.first = data.cFileName;
            break;
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return result;
}

bool Win32Platform::RemoveFile(const std::string& path) {
    const BOOL ok = DeleteFileA(path.c_str());
    impl_->Record(ok);
    return ok != 0;
}

bool Win32Platform::CopyFileTo(const std::string& from, const std::string& to) {
    const BOOL ok = CopyFileA(from.c_str(), to.c_str(), FALSE);
    impl_->Record(ok);
    return ok != 0;
}

bool Win32Platform::MoveReplace(const std::string& from, const std::string& to) {
    const BOOL ok = MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    impl_->Record(ok);
    return ok != 0;
}

static bool WriteWhole(HANDLE file, const std::string& text) {
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return ok && written == text.size();
}

bool Win32Platform::WriteText(const std::string& path, const std::string& text) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    const bool ok = WriteWhole(f, text);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

bool Win32Platform::AppendText(const std::string& path, const std::string& text) {
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    SetFilePointer(f, 0, nullptr, FILE_END);
    const bool ok = WriteWhole(f, text);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

ReadStatus Win32Platform::ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) {
    out.clear();
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        impl_->lastError = e;
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? ReadStatus::Missing : ReadStatus::Error;
    }
    LARGE_INTEGER size{};
    ReadStatus status = ReadStatus::Ok;
    if (!GetFileSizeEx(f, &size)) {
        status = ReadStatus::Error;
    } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        status = ReadStatus::TooLarge;
    } else {
        out.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        if (!out.empty() && (!ReadFile(f, &out[0], static_cast<DWORD>(out.size()), &got, nullptr) || got != out.size()))
            status = ReadStatus::Error;
    }
    ::CloseHandle(f);
    return status;
}

// A server may refuse the handle's information, or give it in part
// (GetFileInformationByHandle's remarks): the stamp then says so.
static void StampOf(HANDLE f, FileStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info{};
    stamp = FileStamp{};
    stamp.known = GetFileInformationByHandle(f, &info) != 0;
    if (!stamp.known) return;
    stamp.length = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.lastWrite = (std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    stamp.index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

bool Win32Platform::ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                                      FileStamp& stamp) {
    const HANDLE f = OpenDenyWrite(path);
    if (f == INVALID_HANDLE_VALUE) return false;
    StampOf(f, stamp);
    // Without the length, the read itself ends at the end of the file.
    const std::size_t wanted = stamp.known && stamp.length < count ? static_cast<std::size_t>(stamp.length) : count;
    head.assign(wanted, '\0');
    DWORD got = 0;
    bool ok = wanted == 0 || ReadFile(f, &head[0], static_cast<DWORD>(wanted), &got, nullptr);
    head.resize(ok ? got : 0);
    ok = ok && (!stamp.known || got == wanted);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

// The deletion goes through the handle that checked the file (NT's delete
// disposition, as DeleteFile itself sets it, there since NT 4): a file put
// in its place meanwhile is another file, and nobody can put one there
// while the handle denies writers and deleters.
RemoveCheck Win32Platform::RemoveIfUnchanged(const std::string& path, const FileCheck& check) {
    const HANDLE f = CreateFileA(path.c_str(), DELETE | GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        impl_->lastError = e;
        return e == ERROR_FILE_NOT_FOUND ? RemoveCheck::Changed : RemoveCheck::Failed;
    }
    FileStamp now;
    StampOf(f, now);
    RemoveCheck result = check(now, [f](std::string& digest) {
        std::uint32_t error = 0;
        const FileHash hashed = CryptoApiSha256Handle(f, digest, error);
        Win32Platform::Impl::lastError = error;
        return hashed;
    });
    if (result == RemoveCheck::Removed) {
        FILE_DISPOSITION_INFORMATION disposition{TRUE};
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = NtSetInformationFile(f, &io, &disposition, sizeof disposition,
                                                     static_cast<FILE_INFORMATION_CLASS>(FileDispositionInformation));
        if (status < 0) {
            result = RemoveCheck::Failed;
            impl_->lastError = RtlNtStatusToDosError(status);
        }
    }
    ::CloseHandle(f);
    return result;
}

bool Win32Platform::StatFile(const std::string& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        impl_->lastError = GetLastError();
        return false;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        impl_->lastError = ERROR_ACCESS_DENIED;
        return false;
    }
    stamp.length = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite = (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return true;
}

bool Win32Platform::ClearAttributes(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        impl_->lastError = GetLastError();
        return false;
    }
    DWORD cleared = attributes & ~DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (cleared == attributes) return true;
    if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
    const BOOL ok = SetFileAttributesA(path.c_str(), cleared);
    impl_->Record(ok);
    return ok != 0;
}

PathKind Win32Platform::Attributes(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        impl_->lastError = 0;
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? PathKind::Folder : PathKind::File;
    }
    const DWORD e = GetLastError();
    impl_->lastError = e;
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? PathKind::Missing : PathKind::Unknown;
}

// Only a handle open for writing can flush; others may go on reading.
bool Win32Platform::MayRename(const std::string& path) {
    const HANDLE f = CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    ::CloseHandle(f);
    return true;
}

bool Win32Platform::FlushFile(const std::string& path) {
    const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    const BOOL ok = FlushFileBuffers(f);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok != 0;
}

bool Win32Platform::ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) {
    out.clear();
    const HANDLE f = OpenDenyWrite(path);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    bool ok = SetFilePointerEx(f, at, nullptr, FILE_BEGIN) != 0;
    if (ok && count > 0) {
        out.assign(count, '\0');
        DWORD got = 0;
        ok = ReadFile(f, &out[0], static_cast<DWORD>(count), &got, nullptr) != 0;
        out.resize(ok ? got : 0);
    }
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

std::vector<std::string> Win32Platform::ListNames(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

std::string Win32Platform::FileVersion(const std::string& path) { return Win32FileVersion(path); }

SignatureCheck Win32Platform::VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                                  const std::string& signature) {
    std::uint32_t error = 0;
    const SignatureCheck result = CryptoApiVerifyFile(key, path, signature, error);
    impl_->lastError = error;
    return result;
}

FileHash Win32Platform::Sha256File(const std::string& path, std::string& digest) {
    std::uint32_t error = 0;
    const FileHash result = CryptoApiSha256File(path, digest, error);
    impl_->lastError = error;
    return result;
}

}  // namespace rz
