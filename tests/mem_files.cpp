// The in-memory file tree: set-up, inspection and the platform's file calls.
#include "mem_platform.h"

#include <iterator>

#include <openssl/sha.h>

#include "core/app.h"
#include "mem_shared.h"
#include "signing.h"

namespace rz {

namespace {

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (unsigned char b : digest) text += {hex[b >> 4], hex[b & 15]};
    return text;
}

bool OnShare(const std::string& path) { return path.rfind("\\\\", 0) == 0 || UCase(path).rfind("G:", 0) == 0; }

}  // namespace

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

bool MemPlatform::ImageInUse(const std::string& path) const {
    for (const Proc& p : procs)
        if (p.alive && UCase(p.path) == UCase(path)) return true;
    return false;
}

bool MemPlatform::Pinned(const std::string& path) const {
    return heldOpen.count(UCase(path)) != 0 || writerLocked.count(UCase(path)) != 0;
}

bool MemPlatform::HostUnreachable(const std::string& path) const {
    if (path.rfind("\\\\", 0) != 0) return false;
    const std::string host = UCase(path.substr(2, path.find('\\', 2) - 2));
    return unreachableHosts.count(host) != 0;
}

// A share's client answers from what it saw up to `staleMs` ago.
const MemPlatform::Node* MemPlatform::Cached(const std::string& path) {
    const Node* n = Find(path);
    if (staleMs == 0 || !OnShare(path)) return n;
    auto& seen = seen_[UCase(path)];  // an empty path: nothing was there
    if (seen.first == 0 || mono_ >= seen.first + staleMs) seen = {mono_, n ? *n : Node{}};
    return seen.second.path.empty() ? nullptr : &seen.second;
}

FileStamp MemPlatform::HandleStamp(const Node& n) {
    FileStamp s{n.shownLength > 0 ? n.shownLength : n.data.size(), FileTimeAt(n.writtenAt), n.index};
    const bool share = OnShare(n.path);
    if (share && fileIds == FileIds::Zero) s.index = 0;
    if (share && fileIds == FileIds::PerOpen) s.index = nextIndex_++;
    if (share && fileIds == FileIds::Refused) s = FileStamp{0, 0, 0, false};
    return s;
}

bool MemPlatform::ParentExists(const std::string& path) const {
    const Node* parent = Find(Folder(path));
    return parent && parent->dir;
}

std::string MemPlatform::FileVersion(const std::string& path) {
    auto it = versions.find(UCase(path));
    if (it != versions.end()) return it->second;
    const Node* n = Find(path);
    const std::size_t at = n ? n->data.find("VS_VERSION_INFO:") : std::string::npos;
    if (at == std::string::npos) return Fail(1813), std::string();  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return n->data.substr(at + 16, n->data.find(';', at) - at - 16);
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
        const Node* dir = Cached(folder);
        if (dir && dir->dir) r.first = ".";
        else lastError_ = kErrorPathNotFound;
        return r;
    }
    const Node* n = Cached(path);
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
    if (renameDenied.count(UCase(from)) || renameDenied.count(UCase(to))) return Fail(kErrorAccessDenied);
    Node moved = *src;
    moved.path = to;
    files_.erase(UCase(from));
    files_[UCase(to)] = moved;
    // A running image is renamed with its file: the name it had is free.
    for (Proc& p : procs)
        if (p.alive && UCase(p.path) == UCase(from)) p.path = to;
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
    const Node* n = Cached(path);
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
    stamp = HandleStamp(*n);
    return true;
}

// As a handle opened with DELETE and only FILE_SHARE_READ: refused while a
// writer or another program without delete sharing has the file open.
RemoveCheck MemPlatform::RemoveIfUnchanged(const std::string& path, const FileCheck& check) {
    const Node* n = Find(path);
    if (!n) return HostUnreachable(path) ? (Fail(kErrorBadNetPath), RemoveCheck::Failed)
                                         : (Fail(kErrorFileNotFound), RemoveCheck::Changed);
    if (n->dir || ImageInUse(path)) return Fail(kErrorAccessDenied), RemoveCheck::Failed;
    if (Pinned(path)) return Fail(kErrorSharingViolation), RemoveCheck::Failed;
    const std::string data = n->data;
    const RemoveCheck verdict = check(HandleStamp(*n), [this, &data](std::string& digest) {
        ++hashes;
        digest = Sha256Hex(data);
        return FileHash::Done;
    });
    if (verdict != RemoveCheck::Removed) return verdict;
    if (n->readOnly) return Fail(kErrorAccessDenied), RemoveCheck::Failed;  // STATUS_CANNOT_DELETE
    files_.erase(UCase(path));
    return RemoveCheck::Removed;
}

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
    const Node* n = Cached(path);
    if (n) return n->dir ? PathKind::Folder : PathKind::File;
    lastError_ = ParentExists(path) ? kErrorFileNotFound : kErrorPathNotFound;
    return PathKind::Missing;
}

// Flushing needs the file open for writing, which a read-only file or a
// running image refuses.
bool MemPlatform::MayRename(const std::string& path) {
    if (!Find(path)) return Fail(kErrorFileNotFound);
    if (renameDenied.count(UCase(path))) return Fail(kErrorAccessDenied);
    return true;
}

bool MemPlatform::FlushFile(const std::string& path) {
    Node* n = Lookup(path);
    if (!n) return Fail(kErrorFileNotFound);
    if (n->dir || n->readOnly) return Fail(kErrorAccessDenied);
    if (ImageInUse(path)) return Fail(kErrorSharingViolation);
    n->flushed = true;
    return true;
}

bool MemPlatform::ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) {
    out.clear();
    const Node* n = Find(path);
    if (!n || n->dir) return Fail(kErrorFileNotFound);
    if (writerLocked.count(UCase(path))) return Fail(kErrorSharingViolation);
    if (offset < n->data.size()) out = n->data.substr(static_cast<std::size_t>(offset), count);
    return true;
}

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
