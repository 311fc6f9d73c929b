// What the share worker does with the monitor's own build in the update
// folder: the manager's checks (look.cpp), and those of a monitor: a
// 32-bit Windows program with a window, newer than the running monitor
// whether a key is there or not, and not a build that was rolled back.
#include "update/look.h"

#include "core/app.h"
#include "update/rules.h"
#include "update/self_swap.h"
#include "update/signature.h"

namespace rz {

Look LookAtMonitorBuild(Ctx& c, const std::string& folder) {
    Look r;
    UpdateKey& key = r.key;
    key.path = folder + kAppTitle + c.s.THISMACHINENAME + ".exe";
    std::vector<RsaPublicKey> keys;
    std::string head;
    if (!BeforeCopy(c, r, MonitorLeftAlone, keys, head)) return r;
    r.found = Look::Refused;
    if (!IsWindowsGuiProgram(head)) {
        r.why = "'" + key.path + "' is not a 32-bit Windows program with a window";
        return r;
    }
    r.found = Look::InPlace;
    if (AlreadyInPlace(c, key, AppPath(c, std::string(kAppTitle) + ".exe"))) {
        RemoveInPlace(c, key, AppPath(c, std::string(kAppTitle) + ".exe"), r.why);
        return r;
    }
    r.found = Look::Refused;
    r.why = MissingRight(c);
    r.rights = !r.why.empty();
    if (r.rights) return r;
    const std::string temp = AppPath(c, std::string(kAppTitle) + ".new");
    if (!CopyChecked(c, r, temp)) return r;
    r.found = Look::Known;
    if (c.s.update.monitor.rolledBack.find(r.content) != std::string::npos) return r;
    r.found = Look::Refused;
    r.why = SignatureRefusal(c, keys, temp, key.path);
    if (!r.why.empty()) return r;
    r.version = c.p.FileVersion(temp);
    r.why = MonitorVersionRefusal(c, r.version);
    if (!r.why.empty()) return r;
    Conclude(c, r, temp);
    return r;
}

}  // namespace rz
