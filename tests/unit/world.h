// A monitor on the in-memory platform, with helpers to run it.
#pragma once

#include <string>
#include <vector>

#include "core/app.h"
#include "mem_platform.h"
#include "monitor/manager_watch.h"
#include "monitor/monitor.h"
#include "monitor/tick.h"
#include "startup/startup.h"

namespace rz {

// The smallest image the update check takes for a whole executable.
inline std::string SmallExecutable(char payload) {
    std::string exe(1024, payload);
    exe.replace(0, 0x100, std::string(0x100, '\0'));
    exe[0] = 'M', exe[1] = 'Z', exe[0x3C] = 0x40;
    exe.replace(0x40, 4, std::string("PE\0\0", 4));
    exe[0x46] = 1;
    return exe;
}

struct World {
    MemPlatform p;
    Ctx c{p};

    // Wired as the program wires its platform.
    World() {
        p.SetTimerHandler([this] { TimerMONITORVESK_Timer(c); });
        p.SetProcessEndHandler([this] {
            if (EarlyTickWanted(c)) TimerMONITORVESK_Timer(c);
        });
        p.SetWorkDoneHandler([this] { ShareWorkArrived(c); });
    }

    std::string Path(const std::string& name) const { return p.appFolder + "\\" + name; }
    std::string LogPath() const { return Path("ROREROZARIRADI.deb"); }
    void LoggingOn() { p.AddFile(LogPath()); }
    std::vector<std::string> Log() const { return p.LogMessages(LogPath()); }
    void ClearLog() {
        if (p.Has(LogPath())) p.AddFile(LogPath());
    }

    // Runs start-up; returns -1 when the monitor was armed, else the exit code.
    int Start() {
        try {
            Main(c);
            return -1;
        } catch (const ProgramEnded& e) {
            return e.code;
        }
    }
    // Runs one tick directly; returns -1 when the program goes on.
    int Tick() {
        try {
            TimerMONITORVESK_Timer(c);
            return -1;
        } catch (const ProgramEnded& e) {
            return e.code;
        }
    }
    // Machine state as a running monitor would have it after start-up.
    void AsStarted(const std::string& machine = "SERV01") {
        c.s.sAppTitle = kAppTitle;
        c.s.sVersion = "15.0.0.0";
        c.s.sMainMachine = "MAINPC";
        c.s.THISMACHINENAME = machine;
        p.computerName = machine;
        c.s.update.loaded = true;  // as if the state file had been read: there is none
        if (p.Has(LogPath())) c.s.sDebugFile = LogPath(), c.s.sBannerDone = kYes;
    }
};

}  // namespace rz
