// The look at the update folder, which the share worker takes, and what it
// found, which the tick acts on (update.cpp).
#pragma once

#include <string>

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
// The tick's rule, which the look applies too: whether an update is left
// alone without a word (update.cpp).
bool LeftAlone(Ctx& c, const UpdateKey& key);

}  // namespace rz
