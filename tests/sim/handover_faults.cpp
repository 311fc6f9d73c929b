// The monitor's own update faulted at every call: a quiet PC takes a good
// monitor build, and the n-th call that touches the monitor's own files (or
// starts the new monitor) fails once, fails for good, or has the power cut
// right there; pairs of such faults in one handover too. Every case must end
// with a whole monitor ticking and nothing forgotten, and a fault that
// passes must not cost the good build.
#include <chrono>
#include <cstdio>

#include "mem_shared.h"
#include "sim.h"

namespace rz {
namespace sim {

namespace {

constexpr std::uint64_t kPlacedAt = 30 * kSecond, kLasts = 8 * kMinute;

bool OwnFile(const std::string& path) {
    const std::string base = UCase(BaseName(path));
    if (base.rfind("ROREROZARIRADI", 0) != 0) return false;
    for (const char* other : {".DEB", ".HNG", ".STP"})
        if (base.size() > 4 && base.compare(base.size() - 4, 4, other) == 0) return false;
    return true;
}

}  // namespace

// Whether this call is one the handover's faults count, and the error it
// fails with; 0 when it runs.
std::uint32_t Sim::HandoverFault(const std::string& name, const std::string& path, const std::string& other) {
    if (!placed_ || !(name == "StartWithArgs" || OwnFile(path) || OwnFile(other))) return 0;
    const std::string call = name + "|" + UCase(path);
    ++ownCalls_;
    if (trace) Note("own call " + std::to_string(ownCalls_) + ": " + call);
    if (handedAt_ == 0 && !mem.Has(kMonUpdate)) handedAt_ = ownCalls_ - 1;
    for (Fault& f : faults) {
        if (!f.lasting.empty() && call == f.lasting) return kErrorSharingViolation;
        if (ownCalls_ != f.at) continue;
        Note("fault at call " + std::to_string(f.at) + ", " + call + ": " +
             (f.mode == 'c' ? "power cut" : f.mode == 'l' ? "fails for good" : "fails once"));
        if (f.mode == 'l') f.lasting = call;
        if (f.mode != 'c') return kErrorSharingViolation;
        // The share worker's stack is not the program's: the power goes as
        // soon as the worker hands back.
        if (mem.OnWorker()) At(Now(), "", [this] { PowerCut(); });
        else PowerCut();
    }
    return 0;
}

void Sim::HandoverScenario() {
    end_ = start_ + kLasts;
    At(start_ + kPlacedAt, "", [this] {
        good_ = MonitorImage(++monNewest_, 7);
        monBuilds_[good_] = MonitorRuns::Well;
        Note("monitor build: good");
        mem.AddFile(kMonUpdate, good_);
        placed_ = true;
    });
}

// At the end: a monitor up and ticking, and the good build in place unless
// a fault lasts.
void Sim::HandoverEnd() {
    if (!up_) return Fail("no monitor runs at the end");
    if (Now() > lastCensus_ + 3 * kTick) Fail("no census for " + std::to_string((Now() - lastCensus_) / 1000) + " s");
    const bool lasting = std::any_of(faults.begin(), faults.end(), [](const Fault& f) { return f.mode == 'l'; });
    if (!lasting && Data(kMon) != good_) Fail("a good monitor build not taken once the fault had passed");
}

int RunHandoverFaults(bool pairs, bool trace) {
    const auto began = std::chrono::steady_clock::now();
    // Counted up to the removal of the build from the share, in a handover
    // without a fault; the calls after it are the routine looks.
    const auto run = [&](std::vector<Sim::Fault> faults, int& calls) {
        Sim sim(1, 1);
        sim.handover = true;
        sim.faults = std::move(faults);
        sim.trace = trace;
        const std::string report = sim.Run();
        calls = sim.HandedAt();
        return report;
    };
    int calls = 0, cases = 0, failed = 0;
    std::string report = run({}, calls);
    if (!report.empty()) return std::printf("the handover without a fault:\n%s", report.c_str()), 1;
    const int clean = calls;
    const auto one = [&](std::vector<Sim::Fault> faults) {
        ++cases;
        int n = 0;
        const std::string r = run(faults, n);
        if (r.empty()) return;
        std::string which;
        for (const Sim::Fault& f : faults) which += " " + std::to_string(f.at) + f.mode;
        // The first in full, the rest a line each.
        std::printf("faults%s: %s\n", which.c_str(), ++failed == 1 ? r.c_str() : r.substr(0, r.find('\n')).c_str());
    };
    for (char mode : {'o', 'l', 'c'})
        for (int k = 1; k <= clean; ++k) one({{k, mode}});
    // Pairs: a second fault in the same handover, or in the retry or the
    // rollback that the first set off; the nearest first, as far as the run
    // stays under a minute.
    int pairsAll = 0, pairsRun = 0;
    for (int gap = 1; pairs && gap < clean + 20; ++gap)
        for (int a = 1; a <= clean && a + gap <= clean + 20; ++a)
            for (char ma : {'o', 'c'})
                for (char mb : {'o', 'c'}) {
                    ++pairsAll;
                    if (std::chrono::steady_clock::now() - began > std::chrono::seconds(45)) continue;
                    ++pairsRun;
                    one({{a, ma}, {a + gap, mb}});
                }
    if (pairs) std::printf("%d of %d pairs of faults run\n", pairsRun, pairsAll);
    std::printf("the handover faulted: %d calls of its own, %d cases, %d failed (%.0f s)\n", clean, cases, failed,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    return failed == 0 ? 0 : 1;
}

}  // namespace sim
}  // namespace rz
