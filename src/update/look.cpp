// What the share worker does at the update folder: the look, the checks
// that cost no copy, the readiness, the copy and its checks, its content,
// signature, version and flush; and the removal of an applied update. The
// tick acts on the result (update.cpp).
#include "update/look.h"

#include <memory>

#include "diag/debug_log.h"
#include "diag/share_work.h"
#include "update/rules.h"
#include "update/signature.h"
#include "update/update_state.h"

namespace rz {

namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr std::uint32_t kFileNotFound = 2, kPathNotFound = 3;

// The update file as an open that denies writers finds it: the server's
// answer now, where the listing and the folder entry may be up to 10 s old
// (the SMB client caches them, and its "not found" answers).
struct Opened {
    bool ok = false;    // opened so, and its head read
    bool gone = false;  // no such file any more
    std::string head;
    FileStamp stamp;
    std::string error;  // why it could not be opened so
};

Opened OpenUpdate(Ctx& c, const UpdateKey& key) {
    Opened o;
    o.ok = c.p.ReadHeadDenyWrite(key.path, kHeadBytes, o.head, o.stamp);
    if (o.ok && !o.stamp.known) {
        // A server may refuse a handle's information: the folder entry's
        // length and time stand in, and the read's end where it came short.
        o.stamp = key.stamp;
        o.stamp.known = false;
        if (o.head.size() < kHeadBytes) o.stamp.length = o.head.size();
    }
    if (o.ok) return o;
    o.gone = c.p.LastError() == kFileNotFound || c.p.LastError() == kPathNotFound;
    o.error = ErrorText(c);
    return o;
}

}  // namespace

namespace {

// Checks that cost no copy: the update's size, and with signing on a key
// file fit for use and a signature of the key's length beside the update.
// "" when they pass; `keys` is then what the signature check uses, and
// `read` what the key file held.
std::string CheapRefusal(Ctx& c, const UpdateKey& key, std::uint64_t length, std::vector<RsaPublicKey>& keys,
                         std::string& read) {
    if (length > kLargestUpdate)
        return "'" + key.path + "' is " + std::to_string(length) + " bytes, more than the " +
               std::to_string(kLargestUpdate) + " an update may have";
    std::string why = UpdateKeys(c, keys);
    read = KeysRead(why, keys);
    return why.empty() ? SignatureShape(c, keys, key.path) : why;
}

// The content of the local copy; "" when it is known, else why not.
std::string Content(Ctx& c, const std::string& temp, std::string& content) {
    switch (c.p.Sha256File(temp, content)) {
    case FileHash::Done:
        return "";
    case FileHash::NoProvider:
        return "the crypto provider cannot be opened, " + ErrorText(c);
    case FileHash::Unreadable:
        break;
    }
    return "the copy '" + temp + "' cannot be read for its SHA-256, " + ErrorText(c);
}

// An update still being written to the share, or cut short, must never
// cost the centre its running manager. "" when it is ready; the key then
// has the file's index, by which its removal knows it.
std::string NotReady(UpdateKey& key, const Opened& opened, bool& inUse) {
    inUse = !opened.ok;
    if (inUse) return "in use or unreadable, " + opened.error;
    if (opened.stamp.length != key.stamp.length) return "still changing";
    if (!IsCompleteExecutable(opened.head, opened.stamp.length)) return "not a complete Win32 executable";
    key.stamp.index = opened.stamp.index;
    return "";
}

// Why the file index cannot prove the file open for removal the one checked.
std::string NoIndex(const FileStamp& now, const FileStamp& seen) {
    if (!now.known) return "the share refuses the file's information";
    if (now.index == 0 || seen.index == 0) return "the share gives no file index";
    if (now.index != seen.index) return "its file index is not the one it had when it was checked";
    return "its length or time is not what its folder entry showed";
}

}  // namespace

// Whether the file open for its removal is the update applied. Its file
// index proves it where the share keeps one; a server may give 0, a new
// one at every open, or none: then its bytes, read through the deleting
// handle, must be those applied (`content`, asked for then). `proof` says
// which proved it.
RemoveCheck RemoveApplied(Ctx& c, const UpdateKey& key, const std::function<std::string()>& content,
                          std::string& proof) {
    return c.p.RemoveIfUnchanged(key.path, [&](const FileStamp& now, const HandleHash& sha256) {
        const FileStamp& seen = key.stamp;
        if (now.known && now.index != 0 && now.index == seen.index && now.length == seen.length &&
            now.lastWrite == seen.lastWrite) {
            proof = "its file index";
            return RemoveCheck::Removed;
        }
        std::string digest;
        if (sha256(digest) != FileHash::Done) return RemoveCheck::Failed;
        if (digest != content()) return RemoveCheck::Changed;
        proof = "its content, as " + NoIndex(now, seen);
        return RemoveCheck::Removed;
    });
}

namespace {

bool SameBytes(Ctx& c, const std::string& a, const std::string& b) {
    std::string x, y;
    for (std::uint64_t at = 0;; at += kChunkBytes) {
        if (!c.p.ReadChunk(a, at, kChunkBytes, x) || !c.p.ReadChunk(b, at, kChunkBytes, y) || x != y) return false;
        if (x.size() < kChunkBytes) return true;
    }
}

// An update file that could not be deleted after its replacement (a share
// that only lets us read) would otherwise stop the manager at every tick.
// Only a file of the same length is read, once per update.
}  // namespace

bool AlreadyInPlace(Ctx& c, const UpdateKey& key, const std::string& target) {
    FileStamp current;
    return c.p.StatFile(target, current) && current.length == key.stamp.length && SameBytes(c, key.path, target);
}

namespace {

// Copies the update beside the manager while the manager still runs, and
// checks that the copy is the very update the readiness check saw.
// "" when it is, else what went wrong.
std::string PrepareCopy(Ctx& c, const UpdateKey& key, const std::string& temp) {
    std::string why = RemoveIfPresent(c, temp);
    if (!why.empty()) return "the leftover '" + temp + "' cannot be removed, " + why;
    if (!c.p.CopyFileTo(key.path, temp)) return "copy to '" + temp + "' failed, " + ErrorText(c);
    if (!c.p.ClearAttributes(temp)) return "the attributes of '" + temp + "' cannot be cleared, " + ErrorText(c);
    std::string head;
    FileStamp copy;
    if (!c.p.ReadHeadDenyWrite(temp, kHeadBytes, head, copy) || copy.length != key.stamp.length ||
        !IsCompleteExecutable(head, copy.length))
        return "the copy '" + temp + "' is not the update that was checked";
    UpdateKey now{key.path, {}};
    if (!c.p.StatFile(key.path, now.stamp) || !(now == key)) return "'" + key.path + "' changed while it was copied";
    return "";
}

}  // namespace

bool BeforeCopy(Ctx& c, Look& r, bool (*leftAlone)(Ctx&, const UpdateKey&), std::vector<RsaPublicKey>& keys,
                std::string& head) {
    UpdateKey& key = r.key;
    r.found = Look::Unreachable;
    const ListResult found = c.p.ListFirst(key.path);
    if (found.error) return false;  // the share is out of reach: next look
    r.found = Look::Absent;
    if (found.first.empty()) return false;
    const bool isFile = c.p.StatFile(key.path, key.stamp);
    const std::string error = ErrorText(c);
    r.found = Look::Alone;
    if (leftAlone(c, key)) return false;
    const Opened opened = isFile ? OpenUpdate(c, key) : Opened{};
    r.found = Look::Absent;
    if (opened.gone) return false;
    const std::uint64_t length = opened.ok ? opened.stamp.length : key.stamp.length;
    r.found = Look::Refused;
    r.why = isFile ? CheapRefusal(c, key, length, keys, r.keys) : "";
    r.keysRead = isFile && length <= kLargestUpdate;
    if (!r.why.empty()) return false;
    r.signing = !keys.empty();
    r.found = Look::NotYet;
    r.why = isFile ? NotReady(key, opened, r.inUse) : "not a file, " + error;
    head = opened.head;
    return r.why.empty();
}

bool RemoveInPlace(Ctx& c, const UpdateKey& key, const std::string& target, std::string& proof) {
    const auto installed = [&c, &target] {
        std::string digest;
        return c.p.Sha256File(target, digest) == FileHash::Done ? digest : std::string();
    };
    if (RemoveApplied(c, key, installed, proof) == RemoveCheck::Removed) return true;
    proof.clear();
    return false;
}

// One record says how the deleted file was known for the one applied.
void DeletedRecord(Ctx& c, const UpdateKey& key, const std::string& proof) {
    if (!proof.empty()) DebugRecord(c, "UPDATE FILE DELETED: '" + key.path + "', known by " + proof);
}

// Without a flush, a power cut after the move could leave a KORUMGR.exe
// whose name is new but whose data never reached the disk.
std::string Flush(Ctx& c, const std::string& path) {
    if (c.p.FlushFile(path)) return "";
    return "'" + path + "' cannot be written to disk, " + ErrorText(c);
}

// A file that is not the one applied any more is a newer update: it stays,
// however late the deletion reaches the server. The share is the worker's;
// a file that cannot be deleted is remembered, or it would stop the manager
// at every look.
void RemoveUpdateFile(Ctx& c, const UpdateKey& key, const std::string& content) {
    auto error = std::make_shared<std::string>(), proof = std::make_shared<std::string>();
    StartShareJob(
        c, "the removal of '" + key.path + "'",
        [key, content, error, proof](Ctx& w) {
            if (RemoveApplied(w, key, [&] { return content; }, *proof) == RemoveCheck::Failed) *error = ErrorText(w);
            return false;
        },
        [key, content, error, proof](Ctx& ui) {
            if (error->empty()) return DeletedRecord(ui, key, *proof);
            ui.s.update.inPlace = content;
            ui.s.update.unchanged = key;
            TracedRecord(ui, "UPDATE FAILED: '" + key.path + "' cannot be deleted, " + *error);
            SaveUpdateState(ui);
        });
}

// Everything the update needs from the share, and the checks of the copy,
// made on the worker while the manager runs on. Nothing here changes what
// the monitor remembers: the tick does that with the result.
Look LookAtShare(Ctx& c, const std::string& folder) {
    Look r;
    UpdateKey& key = r.key;
    key.path = folder + "KORUMGR" + c.s.THISMACHINENAME + ".exe";
    std::vector<RsaPublicKey> keys;
    std::string head;
    if (!BeforeCopy(c, r, LeftAlone, keys, head)) return r;
    r.found = Look::InPlace;
    if (AlreadyInPlace(c, key, AppPath(c, "KORUMGR.exe"))) {
        RemoveInPlace(c, key, AppPath(c, "KORUMGR.exe"), r.why);
        return r;
    }
    const std::string temp = AppPath(c, "KORUMGR.new");
    if (!CopyChecked(c, r, temp)) return r;
    r.found = Look::Known;
    if (r.content == c.s.update.rolledBack || r.content == c.s.update.inPlace) return r;
    // The bytes checked are the bytes that would be installed.
    r.found = Look::Refused;
    r.why = SignatureRefusal(c, keys, temp, key.path);
    if (!r.why.empty()) return r;
    r.version = c.p.FileVersion(temp);
    Conclude(c, r, temp);
    return r;
}

bool CopyChecked(Ctx& c, Look& r, const std::string& temp) {
    r.found = Look::Failed;
    r.why = PrepareCopy(c, r.key, temp);
    if (r.why.empty()) r.why = Content(c, temp, r.content);
    return r.why.empty();
}

// The share may have been slow since the copy: an update that changed
// meanwhile is a newer one, and this result is out of date.
void Conclude(Ctx& c, Look& r, const std::string& temp) {
    r.found = Look::Failed;
    r.why = Flush(c, temp);
    if (!r.why.empty()) return;
    UpdateKey now{r.key.path, {}};
    r.found = c.p.StatFile(r.key.path, now.stamp) && now == r.key ? Look::Ready : Look::Changed;
}

}  // namespace rz
