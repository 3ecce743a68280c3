#include "support/setups.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "notice/notice.h"
#include "platform/sim/machine.h"

namespace testing_support {

std::string Sys(const std::string &name) { return sim::M().SystemFilesDir() + "\\" + name; }

void Install(const std::string &exeVersion, const std::string &exeBytes,
             const std::string &libBytes) {
  sim::M().PutExecutable(Sys("halunexe.exe"), exeBytes, exeVersion);
  sim::M().PutFile(Sys("halundll.dll"), libBytes);
}

void Stage(const std::string &exeVersion, const std::string &exeBytes,
           const std::string &libBytes) {
  sim::M().PutExecutable(Sys("halunexe.ex$"), exeBytes, exeVersion);
  sim::M().PutFile(Sys("halundll.dl$"), libBytes);
}

Step Steps(std::vector<Step> steps) {
  return [steps] {
    for (const Step &step : steps) step();
  };
}

Step Failing(const char *operation, int occurrence) {
  return [=] {
    sim::M().faults.operation = operation;
    sim::M().faults.occurrence = occurrence;
  };
}

Step Unbound(const char *library, const char *entry) {
  return [=] {
    if (*entry)
      sim::M().SystemLibrary(library).exports.erase(entry);
    else
      sim::M().RemoveSystemLibrary(library);
  };
}

Step Installed(const char *version, const char *exeBytes, const char *libBytes) {
  return [=] { Install(version, exeBytes, libBytes); };
}
Step Staged(const char *version) {
  return [=] { Stage(version); };
}
Step Locked(const char *name) {
  return [=] { sim::M().LockFile(Sys(name), sim::kForever); };
}

namespace {

Step Put(const char *name, const char *bytes) {
  return [=] { sim::M().PutFile(Sys(name), bytes); };
}
Step Removed(const char *name) {
  return [=] { sim::M().RemoveFile(Sys(name)); };
}
const Step kReplacement = Steps({Installed("4.50"), Staged("4.60")});
// The resident running from the system directory, its stub window handling
// the notice with `handler` in `handlingMs`.
Step Resident(std::function<LRESULT(UINT, WPARAM, LPARAM)> handler = nullptr,
              uint64_t handlingMs = 0) {
  return [=] {
    sim::M().AddProcess(1200, Sys("HALUNEXE.EXE"), "HALUNEXE.EXE");
    sim::M().AddWindow(STUB_WINDOW_CLASS, handler).handlingMs = handlingMs;
  };
}
// A resident's handler that ends it, and every other program, letting go of
// their files.
LRESULT EndsPrograms(UINT, WPARAM, LPARAM) {
  sim::M().EndPrograms();
  return 0;
}

const Arrangement kArrangements[] = {
    {"nothing staged", "old exe", "old dll",
     Steps({Installed("4.50"), Put("halundll.dl$", "new dll")})},
    {"fresh install", "new exe", "new dll", Staged("4.60")},
    {"same version", "old exe", "old dll", Steps({Installed("4.50"), Staged("4.50")})},
    {"same version, no library installed", "old exe", "new dll",
     Steps({Installed("4.50"), Removed("halundll.dll"), Staged("4.50")})},
    {"old version", "new exe", "new dll", Steps({Installed("4.30"), Staged("4.60")}), true},
    {"replacement, nothing running", "new exe", "new dll", kReplacement},
    // A running resident that closes on the notice, letting go of its files.
    {"replacement, the resident closes on the notice", "new exe", "new dll",
     Steps({kReplacement, Locked("halunexe.exe"), Locked("halundll.dll"),
            Resident(EndsPrograms)})},
    {"replacement, the library held", "new exe", "new dll",
     Steps({kReplacement, Locked("halundll.dll")})},
    {"replacement, the executable held", "new exe", "new dll",
     Steps({kReplacement, Locked("halunexe.exe")})},
    {"replacement, only the executable staged", "new exe", "old dll",
     Steps({kReplacement, Removed("halundll.dl$")})},
    {"replacement, the resident and another program running", "new exe", "new dll",
     Steps({kReplacement,
            [] { sim::M().AddProcess(8, sim::M().windowsDir + "\\EXPLORER.EXE", "EXPLORER.EXE"); },
            Resident()})},
    {"replacement, the resident ending 700 ms after the notice", "new exe", "new dll",
     Steps({kReplacement, Locked("halunexe.exe"), Resident([](UINT, WPARAM, LPARAM) -> LRESULT {
              sim::Machine &m = sim::M();
              if (sim::Process *resident = m.FindProcess(1200)) resident->endsAtMs = m.nowMs + 700;
              if (sim::File *file = m.FindFile(Sys("halunexe.exe")))
                file->lockedUntil = m.nowMs + 700;
              return 0;
            })})},
    {"replacement, the resident hung", "new exe", "new dll",
     Steps({kReplacement, Locked("halunexe.exe"), Resident(nullptr, sim::kForever)})},
    {"unfinished replacement", "new exe", "new dll",
     Steps({Installed("4.60", "new exe"), Staged("4.60")})},
    {"library cut short on the same version", "old exe", "new dll",
     Steps({Installed("4.50", "old exe", "new"), Staged("4.50")})},
    {"run again before the restart, the library's rename line", "new exe", "new dll",
     Steps({Installed("4.60", "new exe"), Staged("4.60"),
            [] {
              const std::string dir = sim::M().systemDir;
              sim::M().PutFile(
                  sim::M().windowsDir + "\\wininit.ini",
                  "[Rename]\r\n" + dir + "\\halundll.dll = " + dir + "\\halundll.dl$\r\n");
            }})},
    {"run again before the restart, the library's delayed move, nothing staged again", "new exe",
     "new dll",
     Steps({Installed("4.60", "new exe"), Put("halundll.dl$", "new dll"),
            [] {
              sim::M().QueueDelayedMove({sim::Fold(Sys("halundll.dl$")),
                                         sim::Fold(Sys("halundll.dll")),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT});
            }})},
    // Run as LocalSystem, as a Windows Installer service runs the tool: it
    // starts nothing and sees no window of the user's session.
    {"fresh install, run as LocalSystem", "new exe", "new dll",
     Steps({Staged("4.60"), [] { sim::M().caller = sim::kLocalSystem; }})},
    {"replacement, run as LocalSystem, the resident unseen", "new exe", "new dll",
     Steps({kReplacement, Locked("halunexe.exe"), Resident(EndsPrograms),
            [] { sim::M().caller = sim::kLocalSystem; }})},
    {"replacement, the executable held in a long system directory", "new exe", "new dll",
     Steps({[] {
              sim::M().systemDir = "C:\\Program Files\\Windows System";
              sim::M().SetShortPath(sim::M().systemDir, "C:\\PROGRA~1\\WINDOW~1");
            },
            kReplacement, Locked("halunexe.exe")})},
};

}  // namespace

const Arrangement &Arranged(const char *name) {
  for (const Arrangement &arrangement : kArrangements)
    if (std::strcmp(arrangement.name, name) == 0) return arrangement;
  std::fprintf(stderr, "no arrangement \"%s\"\n", name);
  std::abort();
}

}  // namespace testing_support
