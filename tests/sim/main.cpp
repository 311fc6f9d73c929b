// A deterministic simulation of a centre's days. For each seed the real
// monitor (ProgramMain, its ticks, the share worker, the early tick) runs on
// the in-memory platform behind the fault wrapper for some simulated hours,
// while a seeded schedule of events happens to it: the manager is killed,
// closes, crashes, freezes or will not run; the share hangs, crawls, fails
// and goes; updates of every kind appear; the key file comes, changes and
// goes; files are held open, the disk fills, the power goes, the clock
// moves, a stop file appears. What must always hold is checked after every
// step; a breach prints the seed, the step, the last events and the command
// that replays it.
//
//   sim [--seeds A..B | --seeds today] [--hours H] [--trace] [--records N]
//   sim [--trace] --handover | --handover-pairs   (the monitor's own update faulted at every call)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "sim.h"

int main(int argc, char** argv) {
    std::uint64_t first = 1, last = 200, hours = 5;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seeds" && i + 1 < argc && std::string(argv[i + 1]) == "today") {
            // A new range each day, beyond the fixed ones, so that CI's seeds
            // grow with the days; printed, so that a breach replays.
            ++i;
            const std::time_t now = std::time(nullptr);
            const std::uint64_t day = static_cast<std::uint64_t>(now / 86400);
            first = 1001 + (day % 100000) * 100;
            last = first + 99;
            char date[16];
            std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
            std::printf("seeds %llu..%llu, drawn from the date %s\n", static_cast<unsigned long long>(first),
                        static_cast<unsigned long long>(last), date);
        } else if (arg == "--seeds" && i + 1 < argc) {
            const std::string range = argv[++i];
            const std::size_t dots = range.find("..");
            first = std::strtoull(range.c_str(), nullptr, 10);
            last = dots == std::string::npos ? first : std::strtoull(range.c_str() + dots + 2, nullptr, 10);
        } else if (arg == "--hours" && i + 1 < argc) {
            hours = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--handover" || arg == "--handover-pairs") {
            return rz::sim::RunHandoverFaults(arg == "--handover-pairs", trace);
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--records" && i + 1 < argc) {
            rz::sim::recordsShown = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--seeds A..B | --seeds today] [--hours H] [--trace] [--records N]\n",
                         argv[0]);
            return 2;
        }
    }
    int failed = 0;
    std::uint64_t events = 0;
    for (std::uint64_t seed = first; seed <= last; ++seed) {
        rz::sim::Sim sim(seed, hours);
        sim.trace = trace;
        const std::string report = sim.Run();
        events += sim.events();
        if (report.empty()) continue;
        ++failed;
        std::printf("%sreplay: %s --seeds %llu --hours %llu --trace\n\n", report.c_str(), argv[0],
                    static_cast<unsigned long long>(seed), static_cast<unsigned long long>(hours));
    }
    const std::uint64_t simulated = (last - first + 1) * hours;
    std::printf("%d of %llu seeds failed, %llu simulated hours, %llu events (%.1f an hour)\n", failed,
                static_cast<unsigned long long>(last - first + 1), static_cast<unsigned long long>(simulated),
                static_cast<unsigned long long>(events), simulated ? static_cast<double>(events) / simulated : 0.0);
    return failed == 0 ? 0 : 1;
}
