// The plan of a new rollout: the machines it takes, whether each can take
// the build, its signature, and the plan as printed before anything is
// written.
#include "plan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "diag/status_format.h"
#include "sign_files.h"
#include "update/signature.h"
#include "update/update.h"

namespace rollout {

void Say(const std::string& line) {
    std::printf("%s %s\n", board::LocalTime(static_cast<Seconds>(std::time(nullptr)), "%H:%M:%S").c_str(),
                line.c_str());
    std::fflush(stdout);
}

std::string ChooseMachines(const Options& o, const std::vector<board::Machine>& reports,
                           std::vector<std::string>& out) {
    if (!o.machines.empty()) {
        out = Split(o.machines);
    } else {
        for (const board::Machine& m : reports) {
            if (m.problem.empty() && NameProblem(m.name).empty())
                out.push_back(m.name);
            else
                Say("left out: '" + m.file + "' (" + (m.problem.empty() ? NameProblem(m.name) : m.problem) +
                    ")");
        }
        std::sort(out.begin(), out.end(),
                  [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
        if (out.empty()) return "no machine reports in the update folder's _Status; name them with --machines";
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string why = NameProblem(out[i]);
        if (!why.empty()) return "--machines: " + why;
        for (std::size_t j = 0; j < i; ++j)
            if (SameName(out[j], out[i])) return "--machines names " + out[i] + " twice";
    }
    return "";
}

std::string CheckMachines(const std::vector<std::string>& names, const std::vector<board::Machine>& reports,
                          const State& s, const std::string& statusFolder) {
    const std::string& version = s.version;
    std::string why;
    for (const std::string& name : names) {
        const board::Machine* r = FindReport(reports, name);
        if (!r)
            why +=
                "\n  " + name + " has no report in '" + statusFolder + "': the rollout follows each PC by its report";
        else if (!r->problem.empty())
            why += "\n  " + name + "'s report cannot be read (" + r->problem + ")";
        else if (!rz::VersionNewer(version, s.monitor ? r->monitorVersion : r->version))
            why += "\n  " + name + " runs " + (s.monitor ? "monitor " + r->monitorVersion : r->version) +
                   " already: " + version + " is not newer";
        else if (!s.monitor && !WillRefuse(*r, version).empty())
            why += "\n  " + name + " will refuse " + version + ": " + WillRefuse(*r, version);
        // A monitor checks its own build's signature before its version:
        // without one, every PC with a key refuses it.
        else if (s.monitor && !s.signature && r->updateKey == "yes")
            why += "\n  " + name + " holds " + rz::kUpdateKeyName +
                   ": its monitor refuses an unsigned build of itself (sign it with --key or give --sig)";
    }
    return why.empty() ? "" : "the build cannot go to every machine named:" + why;
}

std::string Signature(const Options& o, std::string& signature, std::string& what) {
    std::string why;
    if (!o.key.empty()) {
        why = rz::SwappedProblem(o.key, o.build);
        if (why.empty()) why = rz::SignFile(o.key, o.build, signature);
        if (!why.empty()) return "cannot sign '" + o.build + "' with '" + o.key + "': " + why;
        what = "signed once with '" + o.key + "'";
    } else if (!o.sig.empty()) {
        why = rz::ReadWhole(o.sig, rz::kSignatureLimit, signature);
        if (!why.empty()) return why;
        what = "'" + o.sig + "'";
    } else {
        what = "none";
        return "";
    }
    if (o.publicKey.empty()) {
        what += "; not checked against the PCs' UpdateKey.pem (--public checks it)";
        return "";
    }
    std::vector<rz::RsaPublicKey> keys;
    why = rz::ReadPublicKeys(o.publicKey, keys);
    if (why.empty())
        why = rz::VerifyFile(keys, o.publicKey, o.build, signature, o.sig.empty() ? "the signature made" : o.sig);
    if (!why.empty()) return "the signature will not do: " + why;
    what += ", checked with '" + o.publicKey + "'";
    return "";
}

void PrintPlan(const State& s, const std::vector<board::Machine>& reports, const std::string& signing) {
    const auto count = [](std::size_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    Say("rollout of " + std::string(s.monitor ? "monitor " : "") + s.version + " ('" + s.build + "', " +
        std::to_string(s.length) + " bytes) to " +
        count(s.machines.size(), "machine") + " in " + count(static_cast<std::size_t>(s.waves), "wave"));
    Say("soak " + Span(s.soak) + ", take limit " + Span(s.takeLimit));
    Say("signature: " + signing);
    if (signing.find("not checked") != std::string::npos)
        Say("warning: a signature that does not match the PCs' key makes every PC refuse the build");
    if (!s.signature)
        Say("warning: no .sig goes out; PCs with signed updates on (UpdateKey.pem beside the monitor) will refuse "
            "the build");
    for (int w = 0; w < s.waves; ++w) {
        std::string line;
        for (const Entry& e : s.machines) {
            if (e.wave != w) continue;
            const board::Machine* r = FindReport(reports, e.name);
            const std::string& runs = s.monitor ? r->monitorVersion : r->version;
            line += (line.empty() ? "" : ", ") + e.name + " (" + (runs.empty() ? "no known version" : runs) + ", " +
                    board::StateName(r->state) + ")";
        }
        Say("wave " + std::to_string(w + 1) + ": " + line);
    }
    for (const Entry& e : s.machines) {
        const board::Machine* r = FindReport(reports, e.name);
        if (r->state != board::State::Ok && r->state != board::State::NotUpdated)
            Say("note: " + e.name + " is " + board::StateName(r->state) +
                " now; it cannot take the build before its monitor runs and reports");
    }
}

}  // namespace rollout
