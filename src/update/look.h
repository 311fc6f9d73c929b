// The look at the update folder, which the share worker takes, and what it
// found, which the tick acts on (update.cpp).
#pragma once

#include <string>
#include <vector>

#include "core/app.h"

namespace rz {

// What the worker found at the update folder, for the tick to act on.
struct Look {
    enum Found { Unreachable, Absent, Alone, NotYet, InPlace, Refused, Failed, Known, Changed, Ready };
    Found found = Unreachable;
    UpdateKey key;
    std::string why;      // InPlace: how the deleted file was known, "" when it stays
    std::string content;  // SHA-256 of the local copy, once taken
    std::string version;  // the copy's file version
    bool signing = false;
    bool inUse = false;   // not ready: its writer, or someone, holds it open
    bool keysRead = false;
    bool rights = false;  // refused: this monitor lacks a right its own update needs
    std::string keys;     // what the key file held, as KeysRead gives it
};

// Everything the update needs from the share, and the checks of the copy.
Look LookAtShare(Ctx& c, const std::string& folder);
// The record of an applied update file deleted, and how it was known.
void DeletedRecord(Ctx& c, const UpdateKey& key, const std::string& proof);
// Starts the removal of an applied update file on the worker.
void RemoveUpdateFile(Ctx& c, const UpdateKey& key, const std::string& content);
// "" when `path` has reached the disk, else why not.
std::string Flush(Ctx& c, const std::string& path);
// The steps of the look that the monitor's own look (monitor_look.cpp)
// takes too. Each gives "" when the file passes, else why not.
// The update file `r.key.path` found, its stamp, and the steps before its
// copy: left alone, refused, not ready (read through an open, as the
// listing may be stale).
// True when it may be copied, `head` its start; `r` says why not.
bool BeforeCopy(Ctx& c, Look& r, bool (*leftAlone)(Ctx&, const UpdateKey&), std::vector<RsaPublicKey>& keys,
                std::string& head);
// Whether `target` holds the very bytes of the update already.
bool AlreadyInPlace(Ctx& c, const UpdateKey& key, const std::string& target);
// Deletes the update file that is in place as `target` already, while it
// is that file, known by its index or by the content of `target`; `proof`
// says which, "" when it stays.
bool RemoveInPlace(Ctx& c, const UpdateKey& key, const std::string& target, std::string& proof);
// The copy to `temp`, checked to be the update that was looked at, and
// its SHA-256 in `r.content`; false, with `r` saying why, when it failed.
bool CopyChecked(Ctx& c, Look& r, const std::string& temp);
// The copy flushed, and the update file still as it was looked at: Ready,
// else Failed or Changed.
void Conclude(Ctx& c, Look& r, const std::string& temp);

// On the worker: the monitor's build in the update folder, checked and
// copied beside the running monitor as its '.new' (monitor_look.cpp).
Look LookAtMonitorBuild(Ctx& c, const std::string& folder);

}  // namespace rz
