// Immediate replacement, fresh install and the restart of the executable, on
// their own; the courses of whole runs are in courses_test.cpp.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "marker/marker.h"
#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const Family *const kFamilies[] = {&kWin32s, &kWin95, &kWin98, &kWinMe,
                                   &kNt4,    &kWin2000, &kWinXp, &kWin10};

std::string Join(const std::vector<DWORD> &values) {
  std::string text;
  for (DWORD value : values) text += std::to_string(value) + " ";
  return text;
}

class ReplaceTest : public SimTest {
 protected:
  // Installed 4.50 and staged 4.60 pairs on `family`, paths built.
  void Prepare(const Family &family = kWinXp) {
    UseFamily(family);
    Install("4.50");
    Stage("4.60");
    PrepareRun();
  }
  int DeletionsOf(const std::string &path) {
    int count = 0;
    for (const sim::Call *call : m().CallsNamed("DeleteFileA"))
      if (sim::Fold(call->args[0]) == sim::Fold(path)) ++count;
    return count;
  }
  // What the restart-time instructions name, whichever mechanism was used.
  std::string Scheduled() {
    std::string text;
    for (const sim::DelayedMove &move : m().delayedMoves)
      text += "move " + move.from + " -> " + move.to + "; ";
    std::string wininit = m().windowsDir + "\\wininit.ini";
    if (m().HasFile(wininit)) text += "wininit: " + m().FileBytes(wininit);
    return text;
  }
};

// ---------------------------------------------------------------- ReplaceInPlace

TEST_F(ReplaceTest, LibraryDeletionIsRetriedWithAPauseBeforeEveryAttempt) {
  struct Row {
    uint64_t lockedUntilMs;
    int attempts;
    PendingSet pending;
  };
  const Row rows[] = {
      {0, 1, 0},          // free at once: still one pause first
      {1000, 1, 0},       // free when the first pause ends
      {1001, 2, 0},
      {3000, 3, 0},       // released after about three seconds
      {3500, 4, 0},
      {10000, 10, 0},     // free for the last attempt
      {10001, 10, PENDING_LIBRARY},
      {sim::kForever, 10, PENDING_LIBRARY},  // locked throughout
  };
  for (const Row &row : rows) {
    SetUp();
    Prepare();
    if (row.lockedUntilMs) m().LockFile(Sys("halundll.dll"), row.lockedUntilMs);
    PendingSet pending = ReplaceInPlace();
    std::string label = "locked until " + std::to_string(row.lockedUntilMs);
    EXPECT_EQ(row.pending, pending) << label;
    EXPECT_EQ(Join(std::vector<DWORD>(row.attempts, 1000)), Join(m().sleeps)) << label;
    EXPECT_EQ(1000u * row.attempts, m().nowMs) << label;
    EXPECT_EQ(row.attempts, DeletionsOf(Sys("halundll.dll"))) << label;
    EXPECT_EQ(row.pending ? "old dll" : "new dll", m().FileBytes(Sys("halundll.dll"))) << label;
    EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << label;
    EXPECT_TRUE(m().HasFile(Sys("halundll.dl$"))) << label << ": staged copies are left to the end";
    EXPECT_EQ("", Scheduled()) << label << ": scheduling is the run procedure's";
    ExpectCleanExit();
  }
}

TEST_F(ReplaceTest, LockedExecutableGetsOneAttemptAndTheLibraryIsStillReplaced) {
  for (const Family *family : kFamilies) {
    SetUp();
    Prepare(*family);
    m().LockFile(Sys("halunexe.exe"), sim::kForever);
    EXPECT_EQ(PENDING_EXECUTABLE, ReplaceInPlace()) << family->name;
    EXPECT_EQ(1, DeletionsOf(Sys("halunexe.exe"))) << family->name;
    EXPECT_EQ("1000 ", Join(m().sleeps)) << family->name;
    // The executable's attempt comes before the library's pause.
    auto names = m().CallNames();
    auto firstSleep = std::find(names.begin(), names.end(), "Sleep");
    auto firstDelete = std::find(names.begin(), names.end(), "DeleteFileA");
    EXPECT_LT(firstDelete - names.begin(), firstSleep - names.begin()) << family->name;
    EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << family->name;
    EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << family->name;
    EXPECT_EQ("", Scheduled()) << family->name << ": scheduling is the run procedure's";
    ExpectCleanExit();
  }
}

// A missing installed copy is filled. A file with no staged copy is not part
// of the replacement: its installed copy is kept, not deleted, and it is not
// reported. A file whose staged copy cannot be told to be there or not is not
// touched and is reported.
TEST_F(ReplaceTest, MissingInstalledCopyIsFilledAndMissingStagedCopyKeepsTheInstalledOne) {
  struct Row {
    const char *label;
    const char *absent;  // removed first, or nullptr
    int failingSearch;   // occurrence of FindFirstFileA that fails, or -1
    PendingSet pending;
    const char *installedExe, *installedLib;  // afterwards
    size_t pauses;
  };
  // Searches in order: staged executable, installed executable, staged
  // library, installed library.
  const Row rows[] = {
      {"installed library absent", "halundll.dll", -1, 0, "new exe", "new dll", 0},
      {"staged library absent", "halundll.dl$", -1, 0, "new exe", "old dll", 0},
      {"installed executable absent", "halunexe.exe", -1, 0, "new exe", "new dll", 1},
      {"staged executable absent", "halunexe.ex$", -1, 0, "old exe", "new dll", 1},
      {"staged executable's search fails", nullptr, 0, PENDING_EXECUTABLE, "old exe", "new dll", 1},
      {"staged library's search fails", nullptr, 2, PENDING_LIBRARY, "new exe", "old dll", 0},
  };
  for (const Row &row : rows) {
    SetUp();
    Prepare();
    if (row.absent) m().RemoveFile(Sys(row.absent));
    if (row.failingSearch >= 0) {
      m().faults.operation = "FindFirstFileA";
      m().faults.occurrence = row.failingSearch;
    }
    EXPECT_EQ(row.pending, ReplaceInPlace()) << row.label;
    EXPECT_EQ(row.installedExe, m().FileBytes(Sys("halunexe.exe"))) << row.label;
    EXPECT_EQ(row.installedLib, m().FileBytes(Sys("halundll.dll"))) << row.label;
    EXPECT_EQ(row.pauses, m().sleeps.size()) << row.label;
    if (row.installedExe == std::string("old exe")) {
      EXPECT_EQ(0, DeletionsOf(Sys("halunexe.exe"))) << row.label << ": kept, not deleted";
    }
    if (row.installedLib == std::string("old dll")) {
      EXPECT_EQ(0, DeletionsOf(Sys("halundll.dll"))) << row.label << ": kept, not deleted";
    }
    EXPECT_EQ("", Scheduled()) << row.label;
    ExpectCleanExit();
  }
}

// A copy that fails after the installed file was deleted must not lose the
// staged copy: the file stays pending and is scheduled like a locked one.
TEST_F(ReplaceTest, CopyFailingAfterDeletionLeavesTheFilesPendingAndScheduled) {
  Prepare(kWinXp);
  m().faults.operation = "CopyFileA";
  EXPECT_EQ(PENDING_EXECUTABLE | PENDING_LIBRARY, ReplaceInPlace());
  EXPECT_FALSE(m().HasFile(Sys("halunexe.exe"))) << "deleted before the copy";
  EXPECT_FALSE(m().HasFile(Sys("halundll.dll"))) << "deleted before the copy";
  EXPECT_EQ(PENDING_EXECUTABLE | PENDING_LIBRARY, ScheduleOnRestart(PENDING_EXECUTABLE | PENDING_LIBRARY));
  EXPECT_EQ("move c:\\windows\\system32\\halundll.dl$ -> c:\\windows\\system32\\halundll.dll; "
            "move c:\\windows\\system32\\halunexe.ex$ -> c:\\windows\\system32\\halunexe.exe; ",
            Scheduled());
  FinishRun(PENDING_EXECUTABLE | PENDING_LIBRARY);
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.ex$"))) << "staged copy kept";
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dl$"))) << "staged copy kept";
  m().Restart();
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << "in place after the restart";
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << "in place after the restart";
  ExpectCleanExit();
}

TEST_F(ReplaceTest, SingleFailedCopyIsTriedAgain) {
  Prepare(kWinXp);
  m().faults.operation = "CopyFileA";
  m().faults.occurrence = 0;
  EXPECT_EQ(0, ReplaceInPlace());
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe")));
  EXPECT_EQ("", Scheduled());
  ExpectCleanExit();
}

// ---------------------------------------------------------------- InstallFresh

// InstallFresh only copies and reports what is not in place; the run
// procedure schedules it or starts the executable.
TEST_F(ReplaceTest, FreshInstallCopiesWhatIsStagedAndReportsWhatIsNotInPlace) {
  struct Row {
    const char *label;
    bool stagedLibrary;
    bool installedLibrary;
    int failingCopy;  // -1: none
    bool libraryLocked;
    PendingSet pending;
  };
  const Row rows[] = {
      {"both staged", true, false, -1, false, 0},
      {"old library overwritten", true, true, -1, false, 0},
      {"staged library missing", false, false, -1, false, 0},
      {"executable copy fails", true, false, 0, false, PENDING_EXECUTABLE},
      {"library copy fails on a locked library", true, true, -1, true, PENDING_LIBRARY},
  };
  for (const Row &row : rows) {
    SetUp();
    Stage("4.60");
    if (!row.stagedLibrary) m().RemoveFile(Sys("halundll.dl$"));
    if (row.installedLibrary) m().PutFile(Sys("halundll.dll"), "old dll");
    if (row.libraryLocked) m().LockFile(Sys("halundll.dll"), sim::kForever);
    PrepareRun();
    if (row.failingCopy >= 0) {
      m().faults.operation = "CopyFileA";
      m().faults.occurrence = row.failingCopy;
    }
    EXPECT_EQ(row.pending, InstallFresh()) << row.label;
    EXPECT_TRUE(m().launches.empty()) << row.label << ": starting is the run procedure's";
    EXPECT_EQ("", Scheduled()) << row.label << ": scheduling is the run procedure's";
    auto copies = m().CallsNamed("CopyFileA");
    ASSERT_EQ(2u, copies.size()) << row.label;
    EXPECT_EQ((std::vector<std::string>{sim::Fold(Sys("halunexe.ex$")),
                                        sim::Fold(Sys("halunexe.exe")), "0"}),
              copies[0]->args)
        << row.label << ": executable first, overwriting";
    EXPECT_EQ(sim::Fold(Sys("halundll.dl$")), copies[1]->args[0]) << row.label;
    if (!(row.pending & PENDING_EXECUTABLE)) {
      EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << row.label;
    }
    if (row.stagedLibrary && !(row.pending & PENDING_LIBRARY)) {
      EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << row.label;
    }
    ExpectCleanExit();
  }
}

// Same version: a missing installed library is filled from the staged one;
// an installed library is never touched.
TEST_F(ReplaceTest, SameVersionFillsOnlyAMissingLibrary) {
  struct Row {
    const char *label;
    bool installedLibrary, stagedLibrary;
    const char *operation;
    int failOccurrence;
    PendingSet pending;
    const char *installedLib;  // afterwards; nullptr: none
  };
  // Searches in order: installed library, staged library, installed library.
  const Row rows[] = {
      {"library installed", true, true, "", -1, 0, "old dll"},
      {"library missing", false, true, "", -1, 0, "new dll"},
      {"library missing, one copy fails", false, true, "CopyFileA", 0, 0, "new dll"},
      {"library missing, both copies fail", false, true, "CopyFileA", -1, PENDING_LIBRARY, nullptr},
      {"library missing, none staged", false, false, "", -1, 0, nullptr},
      {"installed library's search fails", true, true, "FindFirstFileA", 0, PENDING_LIBRARY,
       "old dll"},
      {"staged library's search fails", false, true, "FindFirstFileA", 1, PENDING_LIBRARY, nullptr},
  };
  for (const Row &row : rows) {
    SetUp();
    Install("4.50");
    Stage("4.50");
    if (!row.installedLibrary) m().RemoveFile(Sys("halundll.dll"));
    if (!row.stagedLibrary) m().RemoveFile(Sys("halundll.dl$"));
    PrepareRun();
    m().faults.operation = row.operation;
    m().faults.occurrence = row.failOccurrence;
    EXPECT_EQ(row.pending, InstallMissingLibrary()) << row.label;
    if (row.installedLib) {
      EXPECT_EQ(row.installedLib, m().FileBytes(Sys("halundll.dll"))) << row.label;
    } else {
      EXPECT_FALSE(m().HasFile(Sys("halundll.dll"))) << row.label;
    }
    EXPECT_TRUE(m().CallsNamed("DeleteFileA").empty()) << row.label;
    EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << row.label;
    EXPECT_EQ(row.stagedLibrary, m().HasFile(Sys("halundll.dl$"))) << row.label << ": left to the end";
    ExpectCleanExit();
  }
}

// ---------------------------------------------------------------- LaunchResident

// The installed executable is the program started, even when its directory
// has a blank and a program stands where the unquoted command line would
// name one ("C:\Program.exe").
TEST_F(ReplaceTest, ResidentIsStartedDetachedWithItsPathAsProgramAndInit) {
  const std::string longDir = "C:\\" + std::string(239, 'L');  // 242 characters
  for (const std::string &dir :
       {std::string("C:\\WINDOWS\\SYSTEM32"), std::string("C:\\Program Files\\Sys"), longDir}) {
    SetUp();
    m().systemDir = dir;
    m().PutFile("C:\\Program.exe", "another program");
    Install("4.50");
    PrepareRun();
    LaunchResident();
    ASSERT_EQ(1u, m().launches.size()) << dir;
    const sim::Launch &launch = m().launches[0];
    const std::string installed = sim::Fold(dir) + "\\halunexe.exe";
    EXPECT_EQ(installed, launch.program) << dir << ": the program started";
    EXPECT_EQ(installed + " /init", launch.commandLine) << dir;
    EXPECT_FALSE(launch.inheritHandles) << dir;
    EXPECT_EQ(static_cast<DWORD>(DETACHED_PROCESS), launch.creationFlags) << dir;
    EXPECT_TRUE(launch.startupOtherwiseZero) << dir;
    ExpectCleanExit();  // the new process's handles are closed
  }
}

TEST_F(ReplaceTest, FailedStartLeavesNothingOpen) {
  Install("4.50");
  PrepareRun();
  m().createProcessFails = true;
  LaunchResident();
  EXPECT_EQ(1u, m().launches.size());
  ExpectCleanExit();
}

}  // namespace
