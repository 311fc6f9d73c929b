#include "rollout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

namespace rollout {
namespace {

const std::string kBuild = "MZ new build", kSig = "signature";

// The update folder in memory, with a monitor for each machine that acts on
// its KORUMGR<NAME>.exe as told, and a PC that stops at a chosen write.
struct Crash {};
enum class Does { Takes, Refuses, RefusesSaying, Fails, RollsBack, GoesDown, Hangs, HangsAtOnce, FallsSilent, RefusesALaterOne, Never, WaitsSaying, BlipsDown, Restarts, CrashLoops };

struct Pc {
    Pc(const char* n, Does d) : name(n), does(d) {}
    std::string name;
    Does does;
    std::string version = "7.1.0.0", update, pid = "100";
    bool up = true, responding = true;
    Seconds seen = -1, took = -1;
    int takes = 0;
};

struct World : Folder {
    Seconds now = 1000;
    std::map<std::string, std::pair<std::string, Seconds>> files;  // name -> bytes, written at
    std::vector<Pc> pcs;
    int writes = 0, crashAt = 0;
    bool monitor = false;  // the PCs take builds of their monitor, and report them so

    void Write(const std::string& name) {
        if (name != kLockName && ++writes == crashAt) throw Crash{};
    }
    std::string Put(const std::string& name, const std::string& bytes) override {
        Write(name);
        files[name] = {bytes, now};
        return "";
    }
    int CreateNew(const std::string& name, const std::string& bytes, std::string&) override {
        if (files.count(name)) return 0;
        files[name] = {bytes, now};
        return 1;
    }
    std::string Remove(const std::string& name) override {
        Write(name);
        files.erase(name);
        return "";
    }
    bool Read(const std::string& name, std::string& bytes, Seconds& age) override {
        auto it = files.find(name);
        if (it == files.end()) return false;
        bytes = it->second.first;
        age = now - it->second.second;
        return true;
    }
    std::vector<std::string> List(const std::string&) override { return {}; }
    bool Reports(std::vector<board::Machine>& out, std::string&) override {
        for (const Pc& pc : pcs) {
            auto it = files.find("_Status/" + pc.name + ".txt");
            board::Machine m;
            board::ParseReport(pc.name + ".txt", it->second.first, m);
            board::Classify(m, now - it->second.second, kSilentAfter);
            out.push_back(m);
        }
        return true;
    }
    std::string Show(const std::string& name) const override { return "G:/" + name; }
    bool Has(const std::string& name) const { return files.count(name) != 0; }

    void Report(const Pc& pc) {
        const std::string update = monitor ? "\nmanager_version=7.1.0.0\nmonitor_version=" + pc.version +
                                                 "\nmonitor_update=" + pc.update + "\nmonitor_update_time=t"
                                           : "\nmanager_version=" + pc.version + "\nlast_update=" + pc.update +
                                                 "\nlast_update_time=t";
        files["_Status/" + pc.name + ".txt"] = {
            "status_format=1\nmachine=" + pc.name + "\nwritten=x\nmanager_running=" + (pc.up ? "yes" : "no") +
                "\nmanager_pid=" + pc.pid + "\nmanager_responding=" + (pc.responding ? "yes" : "no") + update +
                std::to_string(pc.took) + (monitor ? "\nmonitor_update_reason=" : "\nlast_update_reason=") +
                Reason(pc) + "\nend=1\n",
            now};
    }
    std::string Reason(const Pc& pc) const {
        const std::string kind = monitor ? "MONITOR UPDATE " : "UPDATE ";
        if (pc.does == Does::RefusesSaying && pc.took > 0)
            return kind + (monitor ? "REFUSED: the signature 'x.sig' is missing" : "REFUSED: version 7.2.0.0 is not newer");
        if (pc.does == Does::WaitsSaying && pc.seen >= 0) return kind + "WAITING: behind a fresh build";
        if (monitor && pc.update == "rolled back") return kind + "ROLLED BACK: version 7.2.0.0 (PID 9) ended, exit code 3";
        return "";
    }
    // Each monitor looks 10 s after its build appears; then its manager does as told.
    void Tick() {
        for (Pc& pc : pcs) {
            const std::string exe = monitor ? "ROREROZARIRADI" + pc.name + ".exe" : UpdateName(pc.name);
            if (Has(exe) && pc.seen < 0) pc.seen = now;
            if (Has(exe) && now >= pc.seen + 10 && pc.does != Does::Never && pc.does != Does::WaitsSaying && pc.took < pc.seen) {
                pc.took = now;
                const bool refuses = pc.does == Does::Refuses || pc.does == Does::RefusesSaying;
                pc.update = refuses ? "refused" : pc.does == Does::Fails ? "failed" : "applied";
                if (pc.update == "applied") files.erase(exe), pc.version = "7.2.0.0", ++pc.takes;
            }
            const Seconds since = pc.took < 0 || pc.update != "applied" ? -1 : now - pc.took;
            if (since >= 15 && pc.does == Does::RollsBack) pc.version = "7.1.0.0", pc.update = "rolled back";
            if (since >= 30) pc.up = pc.does != Does::GoesDown && (pc.does != Does::BlipsDown || since >= 50);
            if (since >= 30) pc.responding = pc.does != Does::Hangs;
            if (since >= 0 && pc.does == Does::HangsAtOnce) pc.responding = false;
            if (since >= 60 && pc.does == Does::RefusesALaterOne) pc.update = "refused";
            if (since >= 300 && pc.does == Does::Restarts) pc.pid = "200";
            if (since >= 120 && pc.does == Does::CrashLoops) pc.pid = std::to_string(300 + since / 120);
            if (since < 30 || pc.does != Does::FallsSilent) Report(pc);
        }
    }
};

State Plan(const World& w) {
    State s;
    s.version = "7.2.0.0";
    s.length = kBuild.size();
    s.signature = true;
    s.waves = 2;
    s.waveList = "1,100%";
    for (std::size_t i = 0; i < w.pcs.size(); ++i) {
        s.machines.emplace_back();
        s.machines.back().name = w.pcs[i].name;
        s.machines.back().wave = static_cast<int>(i);
    }
    return s;
}

// Runs until the rollout ends or the clock reaches `until`.
// Runs until the rollout ends or the clock reaches `until`; one look at least.
Phase RunUntil(World& w, Rollout& r, Seconds until, std::vector<std::string>& lines) {
    do {
        w.Tick();
        if (!r.Step(w.now, lines)) break;
        w.now += kPollEvery;
    } while (r.state().phase == Phase::Running && w.now < until);
    return r.state().phase;
}

TEST(Rollout, TookHealthyAndEveryHalt) {
    struct Row {
        Does does;
        Phase end;
        const char* outcome;
        Seconds nextWaveAfter;  // seconds from SERV01 taking the build to PCWS07's monitor seeing its own; -1 never
    } rows[] = {
        {Does::Takes, Phase::Done, "", 605},
        {Does::BlipsDown, Phase::Done, "", 655},  // down for less than a report interval: the soak starts again
        {Does::Restarts, Phase::Done, "", 905},   // a new manager process counts from its start
        {Does::Refuses, Phase::Halted, "SERV01 refused the build at t1015: see its log's UPDATE REFUSED", -1},
        {Does::RefusesSaying, Phase::Halted, "SERV01 refused the build at t1015: UPDATE REFUSED: version 7.2.0.0 is", -1},
        {Does::Fails, Phase::Halted, "SERV01 failed to install the build at t1015", -1},
        {Does::RollsBack, Phase::Halted, "SERV01 rolled the build back at t1015: it would not run there", -1},
        {Does::GoesDown, Phase::Halted, "SERV01 has been DOWN (its manager is not running) for 65 s since it took", -1},
        {Does::Hangs, Phase::Halted, "SERV01 has been HUNG (its manager is not responding) for 65 s", -1},
        {Does::HangsAtOnce, Phase::Halted, "SERV01 has been HUNG (its manager is not responding) for 65 s", -1},
        {Does::RefusesALaterOne, Phase::Done, "", 605},  // runs this build still
        {Does::FallsSilent, Phase::Halted, "SERV01 has been SILENT (no report for 4 min) for 65 s", -1},
        {Does::Never, Phase::Halted, "SERV01 has not taken the build within 15 min (its manager runs 7.1.0.0)", -1},
        {Does::WaitsSaying, Phase::Halted, "SERV01 has not taken the build within 15 min (its manager runs 7.1.0.0; "
                                           "its monitor says UPDATE WAITING: behind a fresh build)", -1},
        {Does::CrashLoops, Phase::Halted, "SERV01 started its manager again 3 times since it took the build", -1},
    };
    for (const Row& row : rows) {
        World w;
        w.pcs = {{"SERV01", row.does}, {"PCWS07", Does::Takes}};
        w.Tick();
        Rollout r(w, Plan(w), kBuild, kSig, "me");
        std::string message;
        ASSERT_EQ(TakeLock(w, "me", false, message), Lock::Taken);
        ASSERT_EQ(r.Begin(), "");
        std::vector<std::string> lines;
        EXPECT_EQ(RunUntil(w, r, 10000, lines), row.end) << int(row.does);
        EXPECT_EQ(r.state().outcome.substr(0, std::string(row.outcome).size()), row.outcome);
        const Pc &serv = w.pcs[0], &pcws = w.pcs[1];
        EXPECT_EQ(pcws.seen < 0 ? -1 : pcws.seen - serv.took, row.nextWaveAfter) << r.state().outcome;
        // Nothing untaken, no .sig of a taken build and no kept copy is left.
        const std::string kept = KeptBuild(r.state());
        for (const std::string& name : {std::string("KORUMGRSERV01.exe"), std::string("KORUMGRSERV01.exe.sig"),
                                        std::string("KORUMGRPCWS07.exe"), std::string("KORUMGRPCWS07.exe.sig"), kept,
                                        kept + ".sig"})
            EXPECT_FALSE(w.Has(name)) << name << " after " << r.state().outcome;
        State saved;
        EXPECT_EQ(ParseState(w.files[StateName(r.state())].first, saved), "");
        EXPECT_EQ(saved.phase, row.end);
    }
}

// A build of the monitor is placed under its own name, taken when the
// report's monitor_version is the build's, and halted by its rollback or
// refusal in the words of the monitor's record; a wait is told as it lasts.
TEST(Rollout, MonitorBuild) {
    const std::pair<Does, const char*> rows[] = {
        {Does::Takes, "done||7.2.0.0"},
        {Does::RollsBack, "halted|SERV01 rolled the build back at t1015: MONITOR UPDATE ROLLED BACK: version 7.2.0.0 "
                          "(PID 9) ended, exit code 3|7.1.0.0"},
        {Does::RefusesSaying, "halted|SERV01 refused the build at t1015: MONITOR UPDATE REFUSED: the signature "
                              "'x.sig' is missing|7.1.0.0"},
        {Does::WaitsSaying, "halted|SERV01 has not taken the build within 15 min (its monitor is 7.1.0.0; its monitor "
                            "says MONITOR UPDATE WAITING: behind a fresh build)|7.1.0.0"},
    };
    for (const auto& [does, expected] : rows) {
        World w;
        w.monitor = true;
        w.pcs = {{"SERV01", does}, {"PCWS07", Does::Takes}};
        w.Tick();
        State s = Plan(w);
        s.monitor = true;
        Rollout r(w, s, kBuild, kSig, "me");
        std::string message;
        TakeLock(w, "me", false, message);
        ASSERT_EQ(r.Begin(), "");
        std::vector<std::string> lines;
        RunUntil(w, r, 10000, lines);
        EXPECT_EQ(std::string(PhaseName(r.state().phase)) + "|" + r.state().outcome + "|" + w.pcs[1].version, expected);
        const bool toldWaiting = std::count(lines.begin(), lines.end(),
                                            "SERV01: placed 5 s ago, its monitor says MONITOR UPDATE WAITING: behind a "
                                            "fresh build") == 1;
        EXPECT_EQ(toldWaiting, does == Does::WaitsSaying);
    }
}

// A rollout stopped before any of its writes (a reboot) and resumed once
// its lock has gone stale carries on to the end, and no machine is given
// the build twice.
TEST(Rollout, ResumesAfterAStopAtEveryWrite) {
    int writes = -1;  // of the run that never stops, made first
    for (int crashAt = 0; crashAt <= writes || writes < 0; ++crashAt) {
        World w;
        w.pcs = {{"SERV01", Does::Takes}, {"PCWS07", Does::Takes}};
        w.crashAt = crashAt;
        w.Tick();
        std::string message;
        TakeLock(w, "first", false, message);
        std::vector<std::string> lines;
        try {
            Rollout first(w, Plan(w), kBuild, kSig, "first");
            first.Begin();
            RunUntil(w, first, 10000, lines);
            writes = w.writes;
            continue;
        } catch (const Crash&) {
        }
        const Seconds stopped = w.now;
        for (w.now += kPollEvery; w.now < stopped + kStaleLock + 10; w.now += kPollEvery) w.Tick();
        EXPECT_EQ(TakeLock(w, "second", false, message), Lock::Stale);
        EXPECT_NE(message.find("held by first"), std::string::npos) << message;
        ASSERT_EQ(TakeLock(w, "second", true, message), Lock::Taken);
        State s = Plan(w);
        const bool begun = w.Has(StateName(s));
        if (begun) {
            ASSERT_EQ(ParseState(w.files[StateName(s)].first, s), "");
            ASSERT_EQ(CheckWaves(s), "");
        }
        Rollout second(w, s, kBuild, kSig, "second");
        if (!begun) second.Begin();  // stopped before it had begun: started again
        EXPECT_EQ(RunUntil(w, second, 20000, lines), Phase::Done) << "stopped at write " << crashAt;
        EXPECT_EQ(w.pcs[0].takes * 10 + w.pcs[1].takes, 11) << "stopped at write " << crashAt;
        EXPECT_FALSE(w.Has("KORUMGRSERV01.exe.sig") || w.Has("KORUMGRPCWS07.exe.sig") || w.Has(KeptBuild(s)));
    }
    EXPECT_GT(writes, 8);
}

// Two PCs, the lock taken and the rollout begun.
std::unique_ptr<Rollout> Begun(World& w, Does serv, Does pcws) {
    w.pcs = {{"SERV01", serv}, {"PCWS07", pcws}};
    w.Tick();
    std::string message;
    TakeLock(w, "me", false, message);
    auto r = std::make_unique<Rollout>(w, Plan(w), kBuild, kSig, "me");
    r->Begin();
    return r;
}

TEST(Rollout, AbortRemovesWhatWasNotTaken) {
    World w;
    std::unique_ptr<Rollout> begun = Begun(w, Does::Takes, Does::Never);
    Rollout& r = *begun;
    std::vector<std::string> lines;
    RunUntil(w, r, 1700, lines);
    // 140 looks: a line when a machine's state changes and one a minute, no more.
    EXPECT_EQ(lines.size(), 17u);
    ASSERT_TRUE(w.Has("KORUMGRPCWS07.exe") && w.Has("KORUMGRPCWS07.exe.sig"));
    w.files["KORUMGRPCWS07.exe.sig"].first = "someone else's";
    EXPECT_TRUE(r.Abort(lines));
    EXPECT_EQ(r.state().phase, Phase::Aborted);
    EXPECT_FALSE(w.Has("KORUMGRPCWS07.exe") || w.Has(KeptBuild(r.state())));
    EXPECT_TRUE(w.Has("KORUMGRPCWS07.exe.sig"));  // not this rollout's any more: left alone
    EXPECT_EQ(w.pcs[0].version + "|" + w.pcs[1].version, "7.2.0.0|7.1.0.0");
}

// "rollout abort" from another PC, through a request naming this rollout.
TEST(Rollout, AbortAskedThroughTheFolder) {
    World w;
    std::unique_ptr<Rollout> begun = Begun(w, Does::Never, Does::Takes);
    Rollout& r = *begun;
    std::vector<std::string> lines;
    RunUntil(w, r, 1100, lines);
    w.files[kAbortName] = {"state=_Rollout/other.txt\r\nby=PCWS03 pid 7\r\nend=1\r\n", w.now};
    EXPECT_EQ(RunUntil(w, r, 1200, lines), Phase::Running);
    w.files[kAbortName].first = "state=" + StateName(r.state()) + "\r\nby=PCWS03 pid 7\r\nend=1\r\n";
    EXPECT_EQ(RunUntil(w, r, 1300, lines), Phase::Aborted);
    EXPECT_EQ(r.state().outcome, "aborted at wave 1 of 2 by PCWS03 pid 7");
    EXPECT_FALSE(w.Has(kAbortName) || w.Has("KORUMGRSERV01.exe"));
}

TEST(Rollout, LockHeldStaleBrokenAndTakenOver) {
    World w;
    std::string message;
    w.files[kLockName] = {"owner=PCWS03 pid 7\r\nend=1\r\n", w.now - 200};
    EXPECT_EQ(TakeLock(w, "me", true, message), Lock::Held);  // never a fresh one, even when asked
    EXPECT_EQ(message,
              "another rollout works on this folder: the lock 'G:/_Rollout/rollout.lock', held by "
              "PCWS03 pid 7, last written 3 min ago; a lock not rewritten for 5 min is stale");
    w.now += kStaleLock;
    EXPECT_EQ(TakeLock(w, "me", false, message), Lock::Stale);
    EXPECT_EQ(TakeLock(w, "me", true, message), Lock::Taken);
    EXPECT_EQ(RefreshLock(w, "me"), "");
    w.files[kLockName].first = "owner=PCWS03 pid 9\r\nend=1\r\n";
    w.pcs = {{"SERV01", Does::Takes}, {"PCWS07", Does::Takes}};
    w.Tick();
    Rollout r(w, Plan(w), kBuild, kSig, "me");
    std::vector<std::string> lines;
    EXPECT_FALSE(r.Step(w.now, lines));
    EXPECT_EQ(lines.back(), "the lock 'G:/_Rollout/rollout.lock' was taken over by PCWS03 pid 9");
    EXPECT_FALSE(w.Has("KORUMGRSERV01.exe"));
}

TEST(Rollout, WavesAndNames) {
    std::vector<int> waveOf;
    int waves = 0;
    EXPECT_EQ(MakeWaves("1,25%,100%", 10, waveOf, waves), "");
    EXPECT_EQ(waves, 3);
    EXPECT_EQ(waveOf, (std::vector<int>{0, 1, 1, 2, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(MakeWaves("1,25%,100%", 2, waveOf, waves), "");  // 25% of two adds nobody
    EXPECT_EQ(waveOf, (std::vector<int>{0, 1}));
    EXPECT_EQ(MakeWaves("1,50%", 10, waveOf, waves), "the waves reach 5 of the 10 machines: end them with 100%");
    for (const char* bad : {"0,100%", "1,,100%", "101%", "1,x"}) EXPECT_NE(MakeWaves(bad, 4, waveOf, waves), "") << bad;
    for (const char* good : {"PCWS07", "serv-01", "A_B.{1}~"}) EXPECT_EQ(NameProblem(good), "") << good;
    for (const char* bad : {"", "PC WS", "PCWS/07", "PCWS\xc3\xa9", "PCWS0123456789AB"})
        EXPECT_NE(NameProblem(bad), "") << bad;
    // A state edited on the share skips no wave at its resume.
    World w;
    w.pcs = {{"SERV01", Does::Takes}, {"PCWS07", Does::Takes}};
    State s = Plan(w);
    EXPECT_EQ(CheckWaves(s), "");
    s.machines[1].wave = 0, s.waves = 1;
    EXPECT_EQ(CheckWaves(s), "it counts 1 waves where its list makes 2");
    s.waves = 2;
    EXPECT_EQ(CheckWaves(s), "PCWS07 stands in wave 1, not 2");
    s.machines[1].wave = 1, s.machines[1].step = Step::Placed;
    EXPECT_EQ(CheckWaves(s), "PCWS07 of a wave to come is given the build");
}

}  // namespace
}  // namespace rollout
