#include "support/setups.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "notice/notice.h"
#include "platform/sim/machine.h"

namespace testing_support {

std::string SysPath(const std::string &name) { return sim::M().SystemFilesDir() + "\\" + name; }

void InstallPair(const std::string &exeVersion, const std::string &exeBytes,
                 const std::string &libBytes) {
  sim::M().PutExecutable(SysPath("halunexe.exe"), exeBytes, exeVersion);
  sim::M().PutFile(SysPath("halundll.dll"), libBytes);
}

void StagePair(const std::string &exeVersion, const std::string &exeBytes,
               const std::string &libBytes) {
  sim::M().PutExecutable(SysPath("halunexe.ex$"), exeBytes, exeVersion);
  sim::M().PutFile(SysPath("halundll.dl$"), libBytes);
}

namespace {

void Replacement() {
  InstallPair("4.50");
  StagePair("4.60");
}
void Lock(const char *name) { sim::M().LockFile(SysPath(name), sim::kForever); }
sim::Process &AddResident() {
  return sim::M().AddProcess(1200, SysPath("HALUNEXE.EXE"), "HALUNEXE.EXE");
}

const Arrangement kArrangements[] = {
    {"nothing staged",
     [] {
       InstallPair("4.50");
       sim::M().PutFile(SysPath("halundll.dl$"), "new dll");
     },
     "old exe", "old dll"},
    {"fresh install", [] { StagePair("4.60"); }, "new exe", "new dll"},
    {"same version",
     [] {
       InstallPair("4.50");
       StagePair("4.50");
     },
     "old exe", "old dll"},
    {"same version, no library installed",
     [] {
       InstallPair("4.50");
       sim::M().RemoveFile(SysPath("halundll.dll"));
       StagePair("4.50");
     },
     "old exe", "new dll"},
    {"old version",
     [] {
       InstallPair("4.30");
       StagePair("4.60");
     },
     "new exe", "new dll", true},
    {"replacement, nothing running", Replacement, "new exe", "new dll"},
    // A running resident that closes on the notice, letting go of its files.
    {"replacement, the resident closes on the notice",
     [] {
       Replacement();
       AddResident();
       Lock("halunexe.exe");
       Lock("halundll.dll");
       sim::M().AddWindow(STUB_WINDOW_CLASS, [](UINT, WPARAM, LPARAM) -> LRESULT {
         sim::M().EndPrograms();
         return 0;
       });
     },
     "new exe", "new dll"},
    {"replacement, the library held",
     [] {
       Replacement();
       Lock("halundll.dll");
     },
     "new exe", "new dll"},
    {"replacement, the executable held",
     [] {
       Replacement();
       Lock("halunexe.exe");
     },
     "new exe", "new dll"},
    {"replacement, only the executable staged",
     [] {
       Replacement();
       sim::M().RemoveFile(SysPath("halundll.dl$"));
     },
     "new exe", "old dll"},
    // Only in the fault sweep from here on.
    {"replacement, the resident and another program running",
     [] {
       Replacement();
       sim::M().AddProcess(8, sim::M().windowsDir + "\\EXPLORER.EXE", "EXPLORER.EXE");
       AddResident();
       sim::M().AddWindow(STUB_WINDOW_CLASS);
     },
     "new exe", "new dll"},
    {"replacement, the resident ending 700 ms after the notice",
     [] {
       Replacement();
       AddResident();
       Lock("halunexe.exe");
       sim::M().AddWindow(STUB_WINDOW_CLASS, [](UINT, WPARAM, LPARAM) -> LRESULT {
         sim::Machine &m = sim::M();
         if (sim::Process *resident = m.FindProcess(1200)) resident->endsAtMs = m.nowMs + 700;
         if (sim::File *file = m.FindFile(SysPath("halunexe.exe")))
           file->lockedUntil = m.nowMs + 700;
         return 0;
       });
     },
     "new exe", "new dll"},
    {"replacement, the resident hung",
     [] {
       Replacement();
       AddResident();
       Lock("halunexe.exe");
       sim::M().AddWindow(STUB_WINDOW_CLASS).handlingMs = sim::kForever;
     },
     "new exe", "new dll"},
    {"unfinished replacement",
     [] {
       InstallPair("4.60", "new exe", "old dll");
       StagePair("4.60");
     },
     "new exe", "new dll"},
    {"library cut short on the same version",
     [] {
       InstallPair("4.50", "old exe", "new");
       StagePair("4.50");
     },
     "old exe", "new dll"},
    {"run again before the restart, the library's rename line",
     [] {
       InstallPair("4.60", "new exe", "old dll");
       StagePair("4.60");
       const std::string dir = sim::M().systemDir;
       sim::M().PutFile(sim::M().windowsDir + "\\wininit.ini",
                        "[Rename]\r\n" + dir + "\\halundll.dll = " + dir + "\\halundll.dl$\r\n");
     },
     "new exe", "new dll"},
    {"run again before the restart, the library's delayed move, nothing staged again",
     [] {
       InstallPair("4.60", "new exe", "old dll");
       sim::M().PutFile(SysPath("halundll.dl$"), "new dll");
       sim::M().QueueDelayedMove({sim::Fold(SysPath("halundll.dl$")),
                                  sim::Fold(SysPath("halundll.dll")),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT});
     },
     "new exe", "new dll"},
    {"replacement, the executable held in a long system directory",
     [] {
       sim::M().systemDir = "C:\\Program Files\\Windows System";
       sim::M().SetShortPath(sim::M().systemDir, "C:\\PROGRA~1\\WINDOW~1");
       Replacement();
       Lock("halunexe.exe");
     },
     "new exe", "new dll"},
};

}  // namespace

const Arrangement &Arranged(const char *name) {
  for (const Arrangement &arrangement : kArrangements)
    if (std::strcmp(arrangement.name, name) == 0) return arrangement;
  std::fprintf(stderr, "no arrangement \"%s\"\n", name);
  std::abort();
}

const Arrangement *const kStopSweepSetups[10] = {
    &kArrangements[0], &kArrangements[1], &kArrangements[2], &kArrangements[3], &kArrangements[4],
    &kArrangements[5], &kArrangements[6], &kArrangements[7], &kArrangements[8], &kArrangements[9]};

}  // namespace testing_support
