// The rollout's command line: its usage text, its options and the checks of
// how they go together.
#include "options.h"

#include <cstdlib>

#include "command_line.h"
#include "config.h"

#ifdef _WIN32
#define RZ_SEP "\\"
#else
#define RZ_SEP "/"
#endif

namespace rollout {

namespace {

constexpr Seconds kLongest = 7 * 24 * 3600;

const char* const kUsage =
    "rollout " RZ_VERSION
    " - takes a new manager (or monitor) build to the centre's PCs in waves, and moves on\n"
    "only while the PCs that have it run it well, as their status reports in _Status say.\n"
    "\n"
    "usage: rollout start BUILD --folder UPDATE_FOLDER [--machines A,B,...] [--waves 1,25%,100%]\n"
    "                     [--soak 10m] [--take-limit 15m] [--key PRIVATE.pem | --sig BUILD.sig]\n"
    "                     [--public UpdateKey.pem] [--monitor] [--dry-run] [--break-lock]\n"
    "       rollout status --folder UPDATE_FOLDER [VERSION]\n"
    "       rollout list --folder UPDATE_FOLDER\n"
    "       rollout resume --folder UPDATE_FOLDER [VERSION] [--break-lock]\n"
    "       rollout abort --folder UPDATE_FOLDER [VERSION] [--break-lock]\n"
    "       rollout --help | -h | --version\n"
    "\n"
    "  -f, --folder DIR      the update folder the monitors look in; its _Status holds their reports\n"
    "  -m, --machines LIST   the machines, in this order; default: every one reporting in _Status\n"
    "  -w, --waves LIST      machines that have the build after each wave, as numbers or shares\n"
    "                        (default 1,25%,100%)\n"
    "      --soak SPAN       how long every machine of a wave runs the build well before the next\n"
    "                        wave (default 10m; 30s, 10m, 2h)\n"
    "      --take-limit SPAN how long a machine may take to take the build (default 15m)\n"
    "  -k, --key FILE        signs the build once with this private key\n"
    "  -s, --sig FILE        the build's signature, checked with --public first\n"
    "  -p, --public FILE     the monitors' UpdateKey.pem, to check the signature against\n"
    "      --monitor         BUILD is a ROREROZARIRADI.exe: placed as ROREROZARIRADI<PC>.exe, taken\n"
    "                        when the PC's report gives its version as monitor_version\n"
    "  -n, --dry-run         prints the plan and writes nothing\n"
    "      --break-lock      takes over a stale lock (never a fresh one)\n"
    "Its state lies in UPDATE_FOLDER" RZ_SEP "_Rollout, one file per rollout (list shows them): status,\n"
    "resume and abort work from any PC; abort of a rollout running elsewhere asks it through the folder.\n"
    "Exit codes: 0 done (every wave healthy), or shown; 1 halted: a machine refused, failed or\n"
    "rolled back the build, stayed DOWN, HUNG or SILENT, or did not take it in time; 2 bad\n"
    "command line; 3 refused before anything was placed; 4 another rollout holds the folder's\n"
    "lock; 5 stopped on the way (Ctrl-C, or the folder could not be written): resume carries on.\n"
    "The update folder is the one that holds _Status (G:\\_Updates on the PCs), not _Status itself.\n";


// "30s", "10m", "2h": a unit is always given, so that "10" means nothing by mistake.
bool ParseSpan(const std::string& text, Seconds& out) {
    if (text.size() < 2 || text.find_first_not_of("0123456789") != text.size() - 1 || text.size() > 9) return false;
    const Seconds n = std::atoll(text.c_str());
    const char unit = text.back();
    out = unit == 's' ? n : unit == 'm' ? n * 60 : unit == 'h' ? n * 3600 : -1;
    return out >= 0 && out <= kLongest;
}

// Why the options do not go together; "" when they do.
std::string Combination(const Options& o, const std::vector<rz::Option*>& startOnly) {
    if (o.folder.empty()) return "--folder UPDATE_FOLDER is needed";
    if (o.verb != "start") {
        for (const rz::Option* opt : startOnly)
            if (opt->given) return opt->longName + " goes with start";
        return "";
    }
    if (o.build.empty()) return "start needs the BUILD to roll out";
    if (!o.key.empty() && !o.sig.empty()) return "--key signs the build, --sig brings its signature: give one of them";
    if (!o.sig.empty() && o.publicKey.empty())
        return "--sig needs --public UpdateKey.pem, the key the monitors check it with";
    if (!o.publicKey.empty() && o.key.empty() && o.sig.empty()) return "--public goes with --key or --sig";
    return "";
}

}  // namespace

int ParseArgs(int argc, char** argv, Options& o) {
    rz::Option folder{"--folder", "-f"}, machines{"--machines", "-m"}, waves{"--waves", "-w"}, soak{"--soak", ""},
        takeLimit{"--take-limit", ""}, key{"--key", "-k"}, sig{"--sig", "-s"}, publicKey{"--public", "-p"},
        dryRun{"--dry-run", "-n", true}, breakLock{"--break-lock", "", true}, monitor{"--monitor", "", true};
    std::vector<std::string> words;
    const int done = rz::ParseCommandLine(
        argc, argv, "rollout", kUsage,
        {&folder, &machines, &waves, &soak, &takeLimit, &key, &sig, &publicKey, &dryRun, &breakLock, &monitor}, words);
    if (done >= 0) return done;
    if (words.empty()) return rz::BadUsage("rollout", "say start, status, list, resume or abort");
    o.verb = words[0];
    if (o.verb != "start" && o.verb != "status" && o.verb != "list" && o.verb != "resume" && o.verb != "abort")
        return rz::BadUsage("rollout", "unknown command '" + o.verb + "'");
    if (words.size() > 2) return rz::BadUsage("rollout", "unexpected '" + words[2] + "'");
    (o.verb == "start" ? o.build : o.version) = words.size() > 1 ? words[1] : "";
    o.folder = folder.value;
    o.machines = machines.value;
    if (waves.given) o.waves = waves.value;
    o.key = key.value;
    o.sig = sig.value;
    o.publicKey = publicKey.value;
    o.dryRun = dryRun.given;
    o.breakLock = breakLock.given;
    o.monitor = monitor.given;
    if (soak.given && !ParseSpan(soak.value, o.soak))
        return rz::BadUsage("rollout", "--soak takes a span such as 30s, 10m or 2h");
    if (takeLimit.given && (!ParseSpan(takeLimit.value, o.takeLimit) || o.takeLimit == 0))
        return rz::BadUsage("rollout", "--take-limit takes a span such as 90s, 15m or 1h");
    const std::string why =
        Combination(o, {&machines, &waves, &soak, &takeLimit, &key, &sig, &publicKey, &dryRun, &monitor});
    if (!why.empty()) return rz::BadUsage("rollout", why);
    if (o.verb == "list" && words.size() > 1) return rz::BadUsage("rollout", "list takes no version");
    if ((o.verb == "status" || o.verb == "list") && breakLock.given)
        return rz::BadUsage("rollout", "--break-lock goes with start, resume or abort");
    return -1;
}

}  // namespace rollout
