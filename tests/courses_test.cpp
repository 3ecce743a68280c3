// The decision tree of a run on every Windows family: which course each
// machine state takes, what it leaves on disk and in the registry, and the
// order in which a typical replacement does its work.
#include <optional>
#include <string>
#include <vector>

#include "notice/notice.h"
#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const std::string kComplete("Complete\0", 9);

enum class Scheduling { None, Wininit, DelayedMoves };

// What differs between the families on the courses of a run.
struct FamilyRow {
  const Family *family;
  Scheduling scheduling;  // how a restart-time replacement is written
  bool notices;           // whether running copies are told to close
};

const FamilyRow kRows[] = {
    {&kWin32s, Scheduling::None, false},         {&kWin95, Scheduling::None, false},
    {&kWin98, Scheduling::Wininit, true},        {&kWinMe, Scheduling::Wininit, true},
    {&kNt4, Scheduling::None, false},            {&kWin2000, Scheduling::DelayedMoves, true},
    {&kWinXp, Scheduling::DelayedMoves, true},   {&kWin10, Scheduling::DelayedMoves, true},
    {&kWin10x64, Scheduling::DelayedMoves, true},
};

class CoursesTest : public SimTest {
 protected:
  void Begin(const Family &family) {
    SetUp();
    UseFamily(family);
    AddMarkerKey();
  }
  // A running resident started from the installed path, with its stub window.
  void RunResident() {
    m().AddProcess(1200, m().systemDir + "\\HALUNEXE.EXE", "HALUNEXE.EXE");
    m().AddWindow(STUB_WINDOW_CLASS);
  }
  std::string Wininit() const { return sim::M().windowsDir + "\\wininit.ini"; }
  size_t Count(const char *name) const { return sim::M().CallsNamed(name).size(); }
  void ExpectFiles(const std::string &label, const char *exe, const char *dll) {
    EXPECT_EQ(exe, m().FileBytes(Sys("halunexe.exe"))) << label;
    EXPECT_EQ(dll, m().FileBytes(Sys("halundll.dll"))) << label;
  }
  void ExpectStaged(const std::string &label, bool kept) {
    EXPECT_EQ(kept, m().HasFile(Sys("halunexe.ex$"))) << label << ": staged executable";
    EXPECT_EQ(kept, m().HasFile(Sys("halundll.dl$"))) << label << ": staged library";
  }
  // No restart-time replacement was written anywhere.
  void ExpectNothingScheduled(const std::string &label) {
    EXPECT_TRUE(m().delayedMoves.empty()) << label;
    EXPECT_FALSE(m().HasFile(Wininit())) << label;
  }
};

TEST_F(CoursesTest, NothingStagedOnlyRecordsTheRun) {
  for (const FamilyRow &row : kRows) {
    Begin(*row.family);
    Install("4.50");
    m().PutFile(Sys("halundll.dl$"), "new dll");
    const std::string label = row.family->name;
    EXPECT_EQ(RUN_NOTHING_DONE, RunUpgrade()) << label;
    ExpectFiles(label, "old exe", "old dll");
    EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dl$"))) << label << ": staged library left alone";
    EXPECT_EQ(0u, Count("DeleteFileA") + Count("CopyFileA")) << label;
    EXPECT_EQ(0u, Count("LoadLibraryA")) << label;
    ExpectNothingScheduled(label);
    EXPECT_EQ(kComplete, MarkerText()) << label;
    ExpectCleanExit();
  }
}

TEST_F(CoursesTest, FreshInstallOverwritesAnInstalledLibraryAndStarts) {
  for (const FamilyRow &row : kRows) {
    Begin(*row.family);
    Stage("4.60");
    m().PutFile(Sys("halundll.dll"), "old dll");
    const std::string label = row.family->name;
    EXPECT_EQ(RUN_FRESH_INSTALL, RunUpgrade()) << label;
    ExpectFiles(label, "new exe", "new dll");
    ExpectStaged(label, false);
    EXPECT_EQ(0u, Count("GetFileVersionInfoSizeA")) << label << ": no version read";
    ASSERT_EQ(1u, m().launches.size()) << label;
    // Named as the tool sees it: the reported system directory.
    EXPECT_EQ(sim::Fold(m().systemDir + "\\halunexe.exe") + " /init", m().launches[0].commandLine)
        << label;
    ExpectNothingScheduled(label);
    EXPECT_EQ(kComplete, MarkerText()) << label;
    ExpectCleanExit();
  }
}

// Same version: nothing is replaced and the resident is not restarted. A
// library that is not installed is put in place from its staged copy; if that
// copy fails, the staged library is kept for a later run. Status 2 either way.
TEST_F(CoursesTest, SameVersionOnlyRemovesTheStagedCopiesOrFillsAMissingLibrary) {
  struct Case {
    const char *label;
    bool installedLibrary;
    bool copyFails;
    const char *installedLib;  // afterwards; nullptr: none
    bool stagedLibKept;
  };
  const Case cases[] = {
      {"library installed", true, false, "old dll", false},
      {"no installed library", false, false, "new dll", false},
      {"no installed library, its copy fails", false, true, nullptr, true},
  };
  for (const FamilyRow &row : kRows) {
    for (const Case &c : cases) {
      Begin(*row.family);
      Install("4.50");
      if (!c.installedLibrary) m().RemoveFile(Sys("halundll.dll"));
      Stage("4.50");
      if (c.copyFails) m().faults.failName = "CopyFileA";
      const std::string label = std::string(row.family->name) + ", " + c.label;
      EXPECT_EQ(RUN_SAME_VERSION, RunUpgrade()) << label;
      EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << label;
      if (c.installedLib) {
        EXPECT_EQ(c.installedLib, m().FileBytes(Sys("halundll.dll"))) << label;
      } else {
        EXPECT_FALSE(m().HasFile(Sys("halundll.dll"))) << label;
      }
      EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$"))) << label << ": staged executable";
      EXPECT_EQ(c.stagedLibKept, m().HasFile(Sys("halundll.dl$"))) << label << ": staged library";
      EXPECT_EQ(c.installedLibrary ? 0u : c.copyFails ? 2u : 1u, Count("CopyFileA")) << label;
      for (const sim::Call *call : m().CallsNamed("DeleteFileA"))
        EXPECT_EQ('$', call->args[0].back()) << label << ": deleted " << call->args[0];
      EXPECT_TRUE(m().launches.empty()) << label;
      EXPECT_EQ(0u, Count("FindWindowA")) << label;
      ExpectNothingScheduled(label);
      EXPECT_EQ(kComplete, MarkerText()) << label;
      ExpectCleanExit();
    }
  }
}

TEST_F(CoursesTest, OldVersionIsScheduledWhereThePlatformCan) {
  for (const FamilyRow &row : kRows) {
    Begin(*row.family);
    Install("4.30");
    Stage("4.60");
    RunResident();
    const std::string label = row.family->name;
    EXPECT_EQ(RUN_RESTART_NEEDED, RunUpgrade()) << label;
    ExpectFiles(label, "old exe", "old dll");
    ExpectStaged(label, true);
    EXPECT_EQ(0u, Count("SendMessageTimeoutA")) << label << ": no notice before a restart";
    EXPECT_TRUE(m().launches.empty()) << label;
    EXPECT_EQ(kComplete, MarkerText()) << label;
    const std::string dir = m().systemDir;
    switch (row.scheduling) {
      case Scheduling::None:
        ExpectNothingScheduled(label);
        break;
      case Scheduling::Wininit:
        ASSERT_TRUE(m().HasFile(Wininit())) << label;
        EXPECT_EQ("[Rename]\r\n" + dir + "\\halundll.dll = " + dir + "\\halundll.dl$\r\n" + dir +
                      "\\halunexe.exe = " + dir + "\\halunexe.ex$\r\n" + std::string(1, '\0'),
                  m().FileBytes(Wininit()))
            << label;
        EXPECT_TRUE(m().delayedMoves.empty()) << label;
        break;
      case Scheduling::DelayedMoves:
        ASSERT_EQ(2u, m().delayedMoves.size()) << label;
        EXPECT_EQ(sim::Fold(Sys("halundll.dl$")), m().delayedMoves[0].from) << label;
        EXPECT_EQ(sim::Fold(Sys("halundll.dll")), m().delayedMoves[0].to) << label;
        EXPECT_EQ(sim::Fold(Sys("halunexe.ex$")), m().delayedMoves[1].from) << label;
        EXPECT_EQ(sim::Fold(Sys("halunexe.exe")), m().delayedMoves[1].to) << label;
        for (const sim::DelayedMove &move : m().delayedMoves) EXPECT_EQ(5u, move.flags) << label;
        EXPECT_FALSE(m().HasFile(Wininit())) << label;
        break;
    }
    ExpectCleanExit();
    // After the restart the new pair is in place where it was scheduled.
    m().Restart();
    bool scheduled = row.scheduling != Scheduling::None;
    ExpectFiles(label + " after the restart", scheduled ? "new exe" : "old exe",
                scheduled ? "new dll" : "old dll");
  }
}

TEST_F(CoursesTest, DifferentVersionIsReplacedNowOnEveryFamily) {
  for (const FamilyRow &row : kRows) {
    Begin(*row.family);
    Install("4.50");
    Stage("4.60");
    RunResident();
    const std::string label = row.family->name;
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << label;
    EXPECT_EQ(row.notices ? 1u : 0u, m().windows[0].received.size()) << label;
    if (!row.notices) {
      EXPECT_EQ(1u, Count("LoadLibraryA")) << label << ": only version.dll is loaded";
    }
    ExpectFiles(label, "new exe", "new dll");
    ExpectStaged(label, false);
    EXPECT_EQ(1u, m().launches.size()) << label;
    EXPECT_EQ(std::vector<DWORD>{1000}, m().sleeps) << label;
    ExpectNothingScheduled(label);
    EXPECT_EQ(kComplete, MarkerText()) << label;
    EXPECT_EQ(0, m().LoadedLibraryCount()) << label;
    ExpectCleanExit();
  }
}

// Only the executable staged: the library is not part of the replacement.
// The installed library is kept, nothing is pending or scheduled for it, and
// with the executable replaced the run reports 3 and restarts it. A copy that
// stays keeps the executable pending: only its line or move is written.
TEST_F(CoursesTest, OnlyTheExecutableStagedReplacesItAndRestarts) {
  for (const FamilyRow &row : kRows) {
    for (bool copyStays : {false, true}) {
      Begin(*row.family);
      Install("4.50");
      Stage("4.60");
      m().RemoveFile(Sys("halundll.dl$"));
      RunResident();
      if (copyStays) m().LockFile(Sys("halunexe.exe"), sim::kForever);
      const std::string label =
          std::string(row.family->name) + (copyStays ? ", the resident stays" : "");
      EXPECT_EQ(copyStays ? RUN_RESTART_NEEDED : RUN_REPLACED, RunUpgrade()) << label;
      EXPECT_EQ(row.notices ? 1u : 0u, m().windows[0].received.size()) << label;
      ExpectFiles(label, copyStays ? "old exe" : "new exe", "old dll");
      EXPECT_EQ(copyStays, m().HasFile(Sys("halunexe.ex$"))) << label;
      EXPECT_EQ(0u, Count("Sleep")) << label << ": the library is not touched";
      EXPECT_EQ(copyStays ? 0u : 1u, m().launches.size()) << label;
      const std::string dir = m().systemDir;
      if (!copyStays || row.scheduling == Scheduling::None) {
        ExpectNothingScheduled(label);
      } else if (row.scheduling == Scheduling::Wininit) {
        EXPECT_EQ("[Rename]\r\n" + dir + "\\halunexe.exe = " + dir + "\\halunexe.ex$\r\n" +
                      std::string(1, '\0'),
                  m().HasFile(Wininit()) ? m().FileBytes(Wininit()) : "(no file)")
            << label;
      } else {
        ASSERT_EQ(1u, m().delayedMoves.size()) << label;
        EXPECT_EQ(sim::Fold(Sys("halunexe.ex$")), m().delayedMoves[0].from) << label;
      }
      EXPECT_EQ(kComplete, MarkerText()) << label;
      ExpectCleanExit();
    }
  }
}

// A replacement that a stopped run left half done: the installed executable
// is a whole or cut-short copy of the staged one. It is finished as the
// replacement does it (notice, the executable once, the library after its
// pause, scheduled when held), not taken for the same version. A library cut
// short beside another build of the same version is put right alone.
TEST_F(CoursesTest, UnfinishedReplacementIsFinishedAsTheReplacementDoesIt) {
  struct Case {
    const char *label;
    const char *exeBytes;
    std::optional<std::string> exeVersion;
    const char *stagedVersion;
    const char *libBytes;
    bool libraryHeld;
    RunStatus expected;
    bool exeDeleted;
    const char *exeAfter, *dllAfter;
  };
  const Case cases[] = {
      {"executable in place", "new exe", "4.60", "4.60", "old dll", false, RUN_REPLACED, false,
       "new exe", "new dll"},
      {"executable in place, library held", "new exe", "4.60", "4.60", "old dll", true,
       RUN_RESTART_NEEDED, false, "new exe", "old dll"},
      {"executable cut short with its version", "new", "4.60", "4.60", "old dll", false,
       RUN_REPLACED, true, "new exe", "new dll"},
      {"executable cut short without one", "new", std::nullopt, "4.60", "new dll", false,
       RUN_REPLACED, true, "new exe", "new dll"},
      {"library cut short, same version", "old exe", "4.50", "4.50", "new", false,
       RUN_SAME_VERSION, false, "old exe", "new dll"},
  };
  for (const FamilyRow &row : kRows) {
    for (const Case &c : cases) {
      Begin(*row.family);
      m().PutExecutable(Sys("halunexe.exe"), c.exeBytes, c.exeVersion);
      m().PutFile(Sys("halundll.dll"), c.libBytes);
      Stage(c.stagedVersion);
      RunResident();
      if (c.libraryHeld) m().LockFile(Sys("halundll.dll"), sim::kForever);
      const std::string label = std::string(row.family->name) + ", " + c.label;
      bool replaces = c.expected != RUN_SAME_VERSION;
      EXPECT_EQ(c.expected, RunUpgrade()) << label;
      ExpectFiles(label, c.exeAfter, c.dllAfter);
      EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$"))) << label;
      EXPECT_EQ(c.libraryHeld, m().HasFile(Sys("halundll.dl$"))) << label;
      EXPECT_EQ(replaces && row.notices ? 1u : 0u, m().windows[0].received.size()) << label;
      bool exeDeleted = false;
      for (const sim::Call *call : m().CallsNamed("DeleteFileA"))
        exeDeleted = exeDeleted || call->args[0] == sim::Fold(m().systemDir + "\\halunexe.exe");
      EXPECT_EQ(c.exeDeleted, exeDeleted) << label;
      // A library already in place is not touched.
      size_t pauses = std::string(c.libBytes) == "new dll" ? 0
                      : c.libraryHeld                      ? LIBRARY_DELETE_ATTEMPTS
                                                           : 1;
      EXPECT_EQ(std::vector<DWORD>(pauses, LIBRARY_DELETE_PAUSE_MS), m().sleeps) << label;
      EXPECT_EQ(c.expected == RUN_REPLACED ? 1u : 0u, m().launches.size()) << label;
      bool scheduled = c.libraryHeld && row.scheduling != Scheduling::None;
      EXPECT_EQ(scheduled && row.scheduling == Scheduling::DelayedMoves ? 1u : 0u,
                m().delayedMoves.size())
          << label;
      EXPECT_EQ(scheduled && row.scheduling == Scheduling::Wininit, m().HasFile(Wininit())) << label;
      EXPECT_EQ(kComplete, MarkerText()) << label;
      ExpectCleanExit();
    }
  }
}

// Without administrator rights (Windows 2000 and later) no file of the system
// directory can be deleted, no delayed move queued and the marker's key not
// opened with full access. Only the files tell: the same version reports 2
// with both staged copies left; a replacement closes the resident, spends the
// library's ten attempts and reports 4 with nothing scheduled, nothing
// started and the resident gone.
TEST_F(CoursesTest, WithoutAdministratorRightsNothingChangesButTheResidentCloses) {
  struct Case {
    const char *label;
    const char *staged;
    RunStatus expected;
    size_t notices;
    size_t moveAttempts;
    uint64_t atLeastMs;
  };
  const Case cases[] = {
      {"same version", "4.50", RUN_SAME_VERSION, 0, 0, 0},
      {"replacement", "4.60", RUN_RESTART_NEEDED, 1, 2,
       (uint64_t)LIBRARY_DELETE_ATTEMPTS * LIBRARY_DELETE_PAUSE_MS},
  };
  for (const Family *family : {&kWin2000, &kWinXp, &kWin10}) {
    for (const Case &c : cases) {
      Begin(*family);
      Install("4.50");
      Stage(c.staged);
      m().AddProcess(1200, m().systemDir + "\\HALUNEXE.EXE", "HALUNEXE.EXE");
      m().AddWindow(STUB_WINDOW_CLASS, [](UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == NOTICE_MESSAGE) sim::M().FindProcess(1200)->endsAtMs = sim::M().nowMs;
        return 0;
      });
      for (const char *name : {"halunexe.exe", "halundll.dll", "halunexe.ex$", "halundll.dl$"})
        m().LockFile(Sys(name), sim::kForever, ERROR_ACCESS_DENIED);
      m().FindKey(kMarkerKey)->refused = true;
      m().delayedMovesRefused = true;
      const std::string label = std::string(family->name) + ", " + c.label;
      EXPECT_EQ(c.expected, RunUpgrade()) << label;
      ExpectFiles(label, "old exe", "old dll");
      ExpectStaged(label, true);
      EXPECT_EQ(c.notices, m().windows[0].received.size()) << label;
      EXPECT_EQ(c.notices == 0, m().IsRunning(*m().FindProcess(1200))) << label;
      EXPECT_TRUE(m().launches.empty()) << label;
      EXPECT_EQ(c.moveAttempts, Count("MoveFileExA")) << label;
      ExpectNothingScheduled(label);
      EXPECT_LE(c.atLeastMs, m().nowMs) << label << ": virtual time the run took";
      EXPECT_EQ("(no value)", MarkerText()) << label;
      ExpectCleanExit();
    }
  }
}

// "start" in the marker ends a run on 98/ME only, before any path is built.
// A marker key that is missing or refused changes no course: it is never
// created, and a refused one keeps its value.
TEST_F(CoursesTest, StartMarkerEndsTheRunOn98MeOnly) {
  enum Key { kPresent, kMissing, kRefused };
  struct Case {
    const Family *family;
    const char *marker;
    RunStatus expected;
    Key key;
  };
  const Case cases[] = {
      {&kWin98, "START", RUN_NOTHING_DONE, kPresent},
      {&kWinMe, "Start", RUN_NOTHING_DONE, kPresent},
      {&kWin98, "Complete", RUN_REPLACED, kPresent},
      {&kWinMe, "started", RUN_REPLACED, kPresent},
      {&kWin2000, "START", RUN_REPLACED, kPresent},
      {&kWinXp, "START", RUN_REPLACED, kPresent},
      {&kWin10, "start", RUN_REPLACED, kPresent},
      {&kNt4, "start", RUN_REPLACED, kPresent},
      {&kWin95, "start", RUN_REPLACED, kPresent},
      {&kWin32s, "start", RUN_REPLACED, kPresent},
      {&kWin98, "start", RUN_REPLACED, kRefused},
      {&kWinXp, "start", RUN_REPLACED, kRefused},
      {&kWin98, "", RUN_REPLACED, kMissing},
      {&kNt4, "", RUN_REPLACED, kMissing},
  };
  for (const Case &c : cases) {
    Begin(*c.family);
    m().keys_.clear();
    if (c.key != kMissing) m().SetValue(kMarkerKey, kMarkerValue, REG_SZ, std::string(c.marker) + '\0');
    if (c.key == kRefused) m().FindKey(kMarkerKey)->refused = true;
    Install("4.50");
    Stage("4.60");
    const std::string label = std::string(c.family->name) + ", marker \"" + c.marker + "\"" +
                              (c.key == kRefused ? ", key refused" : c.key == kMissing ? ", no key" : "");
    EXPECT_EQ(c.expected, RunUpgrade()) << label;
    if (c.key == kPresent) {
      EXPECT_EQ(kComplete, MarkerText()) << label << ": overwritten";
    } else if (c.key == kRefused) {
      EXPECT_EQ(std::string(c.marker) + '\0', MarkerText()) << label << ": kept";
    } else {
      EXPECT_EQ(nullptr, m().FindKey(kMarkerKey)) << label << ": the key is never created";
    }
    bool read = c.family->expected == PLATFORM_WIN98ME && c.key == kPresent;
    EXPECT_EQ(read ? 1u : 0u, Count("RegQueryValueExA")) << label << ": marker read";
    if (c.expected == RUN_NOTHING_DONE) {
      EXPECT_EQ(0u, Count("GetSystemDirectoryA")) << label << ": no path built";
      EXPECT_EQ(0u, Count("FindFirstFileA") + Count("DeleteFileA")) << label;
      ExpectFiles(label, "old exe", "old dll");
      ExpectStaged(label, true);
    } else {
      ExpectFiles(label, "new exe", "new dll");
    }
    ExpectCleanExit();
  }
}

// A course that cannot put every file in place now: the files not in place
// keep their staged copies and are scheduled where the family can, the
// status is 4 and nothing is started; after the restart they are in place
// where they were scheduled.
TEST_F(CoursesTest, FilesNotInPlaceNowWaitForTheRestart) {
  struct Case {
    const char *label;
    bool installed;       // 4.50 installed; else a fresh install
    const char *locked;   // an installed file locked throughout, or nullptr
    int failingCopy;      // the CopyFileA that fails: -1 none, -2 every one
    bool exeKept, dllKept;  // staged copies kept, as the files not in place
    size_t pauses;
  };
  const Case cases[] = {
      {"fresh install, the executable's copy fails", false, nullptr, 0, true, false, 0},
      {"installed executable locked", true, "halunexe.exe", -1, true, false, 1},
      {"installed library locked", true, "halundll.dll", -1, false, true, 10},
      {"every copy fails after the deletion", true, nullptr, -2, true, true, 1},
  };
  for (const FamilyRow &row : kRows) {
    for (const Case &c : cases) {
      Begin(*row.family);
      if (c.installed) Install("4.50");
      Stage("4.60");
      RunResident();
      if (c.locked) m().LockFile(Sys(c.locked), sim::kForever);
      if (c.failingCopy != -1) {
        m().faults.failName = "CopyFileA";
        m().faults.failNameOccurrence = c.failingCopy == -2 ? -1 : c.failingCopy;
      }
      const std::string label = std::string(row.family->name) + ", " + c.label;
      EXPECT_EQ(RUN_RESTART_NEEDED, RunUpgrade()) << label;
      EXPECT_TRUE(m().launches.empty()) << label;
      EXPECT_EQ(c.pauses, m().sleeps.size()) << label;
      EXPECT_EQ(c.exeKept, m().HasFile(Sys("halunexe.ex$"))) << label << ": staged executable";
      EXPECT_EQ(c.dllKept, m().HasFile(Sys("halundll.dl$"))) << label << ": staged library";
      if (!c.exeKept) {
        EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << label;
      }
      if (!c.dllKept) {
        EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << label;
      }
      EXPECT_EQ(kComplete, MarkerText()) << label;
      ExpectCleanExit();
      m().faults = sim::FaultPlan();
      m().Restart();
      const bool scheduled = row.scheduling != Scheduling::None;
      for (const char *name : {"halunexe", "halundll"}) {
        const bool exe = name[5] == 'e';
        if (!(exe ? c.exeKept : c.dllKept)) continue;
        const std::string installed = Sys(std::string(name) + (exe ? ".exe" : ".dll"));
        const std::string staged = Sys(std::string(name) + (exe ? ".ex$" : ".dl$"));
        EXPECT_EQ(!scheduled, m().HasFile(staged)) << label << ", after the restart: " << staged;
        if (scheduled) {
          EXPECT_EQ(exe ? "new exe" : "new dll", m().FileBytes(installed))
              << label << ", after the restart";
        }
      }
    }
  }
}

// A system directory that cannot be read whole ends the run as if nothing
// were staged: no managed file is looked at or touched.
TEST_F(CoursesTest, UnusableSystemDirectoryTouchesNoManagedFile) {
  struct Case {
    const char *label;
    std::string directory;
    bool failCall;
    bool overrideLength;
    RunStatus expected;
  };
  const std::string longest = "C:\\" + std::string(SYSTEM_DIR_MAX_LENGTH - 3, 'S');
  const Case cases[] = {
      {"242 characters", longest, false, false, RUN_REPLACED},
      {"243 characters", longest + "T", false, false, RUN_NOTHING_DONE},
      {"300 characters", longest + std::string(58, 'T'), false, false, RUN_NOTHING_DONE},
      {"GetSystemDirectoryA fails", "C:\\WINDOWS\\SYSTEM32", true, false, RUN_NOTHING_DONE},
      {"a length the text does not have", "C:\\WINDOWS\\SYSTEM32", false, true, RUN_NOTHING_DONE},
  };
  for (const Family *family : {&kWinXp, &kWin98, &kNt4}) {
    for (const Case &c : cases) {
      Begin(*family);
      m().systemDir = c.directory;
      if (c.failCall) {
        m().faults.failName = "GetSystemDirectoryA";
      }
      if (c.overrideLength) m().systemDirOverride = std::make_pair(c.directory + '\0', 40u);
      Install("4.50");
      Stage("4.60");
      const std::string label = std::string(family->name) + ", " + c.label;
      EXPECT_EQ(c.expected, RunUpgrade()) << label;
      EXPECT_EQ(kComplete, MarkerText()) << label;
      if (c.expected == RUN_NOTHING_DONE) {
        for (const char *call : {"FindFirstFileA", "DeleteFileA", "CopyFileA", "MoveFileExA",
                                 "CreateFileA", "LoadLibraryA", "CreateProcessA"})
          EXPECT_EQ(0u, Count(call)) << label << ": " << call;
        ExpectFiles(label, "old exe", "old dll");
        ExpectStaged(label, true);
      } else {
        ExpectFiles(label, "new exe", "new dll");
      }
      ExpectCleanExit();
    }
  }
}

// The steps of the typical run, as the call log shows them: a readable
// account of each call that matters, in order.
std::vector<std::string> Steps() {
  std::vector<std::string> steps;
  for (const sim::Call &call : sim::M().calls) {
    const std::string &name = call.name;
    if (name == "GetVersionExA" || name == "GetSystemDirectoryA" || name == "EnumProcesses" ||
        name == "FindWindowA" || name == "SendMessageTimeoutA" || name == "FreeLibrary" ||
        name == "RegOpenKeyExA" || name == "RegQueryValueExA" || name == "RegCloseKey" ||
        name == "CloseHandle")
      steps.push_back(name);
    else if (name == "LoadLibraryA" || name == "GetFileVersionInfoA" || name == "DeleteFileA" ||
             name == "Sleep" || name == "CreateProcessA")
      steps.push_back(name + " " + call.args[0]);
    else if (name == "OpenProcess")
      steps.push_back(name + " " + call.args[2] + " " + call.args[0]);
    else if (name == "WaitForSingleObject")
      steps.push_back(name + " " + call.args[1]);
    else if (name == "CopyFileA")
      steps.push_back(name + " " + call.args[0] + " " + call.args[1]);
    else if (name == "RegSetValueExA")
      steps.push_back(name + " " + call.args[1]);
    else if (name == "LoadStringA" && call.args[1] == "20")
      steps.push_back("LoadStringA 20");
  }
  return steps;
}

TEST_F(CoursesTest, TypicalRunOnXpTakesEveryStepInOrder) {
  Begin(kWinXp);
  Install("4.50");
  Stage("4.60");
  m().AddProcess(4, "System", "System");
  m().AddProcess(1200, "C:\\WINDOWS\\SYSTEM32\\HALUNEXE.EXE", "HALUNEXE.EXE");
  m().AddProcess(1300, "C:\\WINDOWS\\EXPLORER.EXE", "Explorer.EXE");
  m().AddWindow(STUB_WINDOW_CLASS);

  EXPECT_EQ(RUN_REPLACED, RunUpgrade());

  const std::string sys = "C:\\WINDOWS\\SYSTEM32", dir = "c:\\windows\\system32";
  const std::vector<std::string> expected = {
      "GetVersionExA",
      "GetSystemDirectoryA",
      // version gate: installed first, then staged
      "LoadLibraryA " + sys + "\\version.dll",
      "GetFileVersionInfoA " + dir + "\\halunexe.exe",
      "LoadStringA 20",
      "GetFileVersionInfoA " + dir + "\\halunexe.ex$",
      "FreeLibrary",
      // notice
      "LoadLibraryA " + sys + "\\psapi.dll",
      "EnumProcesses",
      "OpenProcess 4 0x411",
      "CloseHandle",
      "OpenProcess 1200 0x411",
      "FindWindowA",
      "OpenProcess 1200 0x100000",
      "SendMessageTimeoutA",
      "CloseHandle",
      "OpenProcess 1300 0x411",
      "CloseHandle",
      // the notified copy is given up to 5 s to end
      "WaitForSingleObject 5000",
      "CloseHandle",
      // executable at once, library after one pause
      "DeleteFileA " + dir + "\\halunexe.exe",
      "CopyFileA " + dir + "\\halunexe.ex$ " + dir + "\\halunexe.exe",
      "Sleep 1000",
      "DeleteFileA " + dir + "\\halundll.dll",
      "CopyFileA " + dir + "\\halundll.dl$ " + dir + "\\halundll.dll",
      "CreateProcessA " + dir + "\\halunexe.exe",
      "CloseHandle",
      "CloseHandle",
      // completion: the restart-time moves an earlier run may have left are
      // looked at before the staged copies go
      "RegOpenKeyExA",
      "RegQueryValueExA",
      "RegCloseKey",
      "DeleteFileA " + dir + "\\halundll.dl$",
      "DeleteFileA " + dir + "\\halunexe.ex$",
      "RegOpenKeyExA",
      "RegSetValueExA Vastel",
      "RegCloseKey",
      // the process library last
      "FreeLibrary",
  };
  std::vector<std::string> actual = Steps();
  EXPECT_EQ(expected, actual);
  for (size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
    if (i >= expected.size() || i >= actual.size() || expected[i] != actual[i]) {
      ADD_FAILURE() << "first difference at step " << i << ": expected \""
                    << (i < expected.size() ? expected[i] : "(none)") << "\", actual \""
                    << (i < actual.size() ? actual[i] : "(none)") << "\"";
      break;
    }
  }

  // Presence of the staged, then the installed executable, before the gate.
  auto searches = m().CallsNamed("FindFirstFileA");
  ASSERT_GE(searches.size(), 2u);
  EXPECT_EQ(dir + "\\halunexe.ex$", searches[0]->args[0]);
  EXPECT_EQ(dir + "\\halunexe.exe", searches[1]->args[0]);

  ASSERT_EQ(1u, m().launches.size());
  EXPECT_EQ(dir + "\\halunexe.exe /init", m().launches[0].commandLine);
  EXPECT_EQ(DETACHED_PROCESS, m().launches[0].creationFlags);
  EXPECT_EQ(kComplete, MarkerText());
  EXPECT_EQ(0, m().LoadedLibraryCount());
  ExpectCleanExit();
}

}  // namespace
