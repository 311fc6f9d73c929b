// Cost of one process census on the in-memory platform, by the number of
// running processes. The figures should grow linearly.
#include <benchmark/benchmark.h>

#include "core/app.h"
#include "mem_platform.h"
#include "monitor/monitor.h"

namespace {

void BM_Census(benchmark::State& state) {
    rz::MemPlatform p;
    rz::Ctx c(p);
    c.s.sAppTitle = rz::kAppTitle;
    for (int i = 0; i < state.range(0); ++i) p.AddProcess("C:\\Program Files\\Vendor\\P" + std::to_string(i) + ".exe");
    p.AddProcess(p.appFolder + "\\KORUMGR.exe");
    p.AddProcess("C:\\VESK\\VESK.exe");
    for (auto _ : state) rz::CheckProcesses(c);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Census)->Arg(100)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
