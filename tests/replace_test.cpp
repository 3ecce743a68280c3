// Immediate replacement, fresh install and the restart of the executable, on
// their own; the courses of whole runs are in courses_test.cpp. These steps
// only copy and report what is not in place: scheduling and starting are the
// run procedure's, so none of them leaves a restart-time instruction.
#include "replace/replace.h"

#include <string>
#include <vector>

#include "files/files.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

// ---------------------------------------------------------------- ReplaceNotInPlace

using LockedExeTest = RowTest<NoCase>;
TEST_P(LockedExeTest, LockedExecutableGetsOneAttemptAndTheLibraryIsStillReplaced) {
  MachineState expected = Prepare();
  m().LockFile(Sys("halunexe.exe"), sim::kForever);
  EXPECT_EQ(PENDING_EXECUTABLE, ReplaceNotInPlace(0));
  EXPECT_EQ(size_t(EXECUTABLE_DELETE_ATTEMPTS), Deletions("halunexe.exe"));
  EXPECT_EQ(std::vector<DWORD>{LIBRARY_DELETE_PAUSE_MS}, m().Sleeps());
  // The executable's attempt comes before the library's pause.
  EXPECT_LT(FirstCall("DeleteFileA"), FirstCall("Sleep"));
  expected.dll = "new dll";
  EXPECT_EQ(expected, Snapshot());
}
INSTANTIATE_TEST_SUITE_P(Rows, LockedExeTest, Rows(Families(Where::Bits32), kNoCase), RowName());

// The library's deletion is retried with a pause before every attempt,
// LIBRARY_DELETE_ATTEMPTS at most. A missing installed copy is filled. A file with no staged copy is
// not part of the replacement: its installed copy is kept, not deleted, and it
// is not reported. A file whose staged copy cannot be told to be there or not
// is not touched and is reported. A copy failing once is tried again; failing
// twice after the deletion, the file stays pending with its staged copy.
struct InPlaceCase {
  const char *label;
  const char *absent;      // removed first, or nullptr
  uint64_t lockedUntilMs;  // the installed library locked until then; 0: not locked
  PendingSet pending;
  Bytes exe, dll;  // afterwards
  size_t pauses;   // each before an attempt on the library
  sim::FaultPlan fault = {};
};
const uint64_t kPause = LIBRARY_DELETE_PAUSE_MS, kAttempts = LIBRARY_DELETE_ATTEMPTS;
const InPlaceCase kInPlace[] = {
    {"free at once: still one pause first", nullptr, 0, 0, "new exe", "new dll", 1},
    {"free when the first pause ends", nullptr, kPause, 0, "new exe", "new dll", 1},
    {"a moment after the first pause", nullptr, kPause + 1, 0, "new exe", "new dll", 2},
    {"released after three pauses", nullptr, 3 * kPause, 0, "new exe", "new dll", 3},
    {"half a pause later", nullptr, 3 * kPause + kPause / 2, 0, "new exe", "new dll", 4},
    {"free for the last attempt", nullptr, kAttempts * kPause, 0, "new exe", "new dll", kAttempts},
    {"a moment after the last attempt", nullptr, kAttempts * kPause + 1, PENDING_LIBRARY, "new exe",
     "old dll", kAttempts},
    {"locked throughout", nullptr, sim::kForever, PENDING_LIBRARY, "new exe", "old dll", kAttempts},
    // Searches in order: staged executable, installed executable, staged
    // library, installed library.
    {"installed library absent", "halundll.dll", 0, 0, "new exe", "new dll", 0},
    {"staged library absent", "halundll.dl$", 0, 0, "new exe", "old dll", 0},
    {"installed executable absent", "halunexe.exe", 0, 0, "new exe", "new dll", 1},
    {"staged executable absent", "halunexe.ex$", 0, 0, "old exe", "new dll", 1},
    {"staged executable's search fails", nullptr, 0, PENDING_EXECUTABLE, "old exe", "new dll", 1,
     {"FindFirstFileA", "", 0}},
    {"staged library's search fails", nullptr, 0, PENDING_LIBRARY, "new exe", "old dll", 0,
     {"FindFirstFileA", "", 2}},
    {"one copy fails", nullptr, 0, 0, "new exe", "new dll", 1, {"CopyFileA", "", 0}},
    {"every copy fails after the deletion", nullptr, 0, PENDING_BOTH, std::nullopt, std::nullopt, 1,
     {"CopyFileA", "", -1}},
};
using InPlaceTest = RowTest<InPlaceCase>;
TEST_P(InPlaceTest, LibraryIsRetriedAndNothingIsLost) {
  const InPlaceCase &c = C();
  Prepare();
  if (c.absent) m().RemoveFile(Sys(c.absent));
  if (c.lockedUntilMs) m().LockFile(Sys("halundll.dll"), c.lockedUntilMs);
  m().faults = c.fault;
  MachineState expected = Snapshot();
  EXPECT_EQ(c.pending, ReplaceNotInPlace(0));
  // Staged copies are left to the end.
  expected.exe = c.exe, expected.dll = c.dll;
  EXPECT_EQ(expected, Snapshot());
  // Only the pauses take time; an installed library that is kept or absent is
  // not deleted.
  EXPECT_EQ(std::vector<DWORD>(c.pauses, LIBRARY_DELETE_PAUSE_MS), m().Sleeps());
  EXPECT_EQ(LIBRARY_DELETE_PAUSE_MS * c.pauses, m().nowMs);
  EXPECT_EQ(c.pauses, Deletions("halundll.dll")) << "attempts on the library";
  if (c.exe == Bytes("old exe")) {
    EXPECT_EQ(0u, Deletions("halunexe.exe")) << "kept, not deleted";
  }
  for (const sim::Call *copy : m().CallsNamed("CopyFileA"))
    EXPECT_EQ("0", copy->args[2]) << "a copy overwrites what it finds";
  if (c.pending != (PENDING_BOTH) || c.absent) return;
  // Scheduled like a locked file, both are in place after the restart.
  m().faults = sim::FaultPlan();
  EXPECT_EQ(c.pending, ScheduleOnRestart(c.pending));
  DeleteStagedCopies(c.pending);
  expected.moves = RestartMoves({"halundll.dll", "halunexe.exe"});
  EXPECT_EQ(expected, Snapshot()) << "staged copies kept";
  RestartAndExpect(true);
}
INSTANTIATE_TEST_SUITE_P(Rows, InPlaceTest, Rows({kTypical}, kInPlace), RowName());

// ---------------------------------------------------------------- InstallFresh

struct FreshCase {
  const char *label;
  bool stagedLibrary, installedLibrary;
  int failingCopy;  // -1: none
  bool libraryLocked;
  PendingSet pending;
};
const FreshCase kFresh[] = {
    {"both staged", true, false, -1, false, 0},
    {"old library overwritten", true, true, -1, false, 0},
    {"staged library missing", false, false, -1, false, 0},
    {"executable copy fails", true, false, 0, false, PENDING_EXECUTABLE},
    {"library copy fails on a locked library", true, true, -1, true, PENDING_LIBRARY},
};
using FreshInstallTest = RowTest<FreshCase>;
TEST_P(FreshInstallTest, FreshInstallCopiesWhatIsStagedAndReportsWhatIsNotInPlace) {
  const FreshCase &c = C();
  Stage("4.60");
  if (!c.stagedLibrary) m().RemoveFile(Sys("halundll.dl$"));
  if (c.installedLibrary) m().PutFile(Sys("halundll.dll"), "old dll");
  if (c.libraryLocked) m().LockFile(Sys("halundll.dll"), sim::kForever);
  PrepareRun();
  if (c.failingCopy >= 0) m().faults = {"CopyFileA", "", c.failingCopy};
  MachineState expected = Snapshot();
  EXPECT_EQ(c.pending, InstallFresh());
  if (!(c.pending & PENDING_EXECUTABLE)) expected.exe = "new exe";
  if (c.stagedLibrary && !(c.pending & PENDING_LIBRARY)) expected.dll = "new dll";
  EXPECT_EQ(expected, Snapshot());
  auto copies = m().CallsNamed("CopyFileA");
  ASSERT_EQ(2u, copies.size());
  EXPECT_EQ((std::vector<std::string>{sim::Fold(Sys("halunexe.ex$")),
                                      sim::Fold(Sys("halunexe.exe")), "0"}),
            copies[0]->args)
      << "executable first, overwriting";
  EXPECT_EQ(sim::Fold(Sys("halundll.dl$")), copies[1]->args[0]);
}
INSTANTIATE_TEST_SUITE_P(Rows, FreshInstallTest, Rows({kTypical}, kFresh), RowName());

// Same version: a missing installed library is filled from the staged one;
// an installed library is never touched.
struct MissingLibraryCase {
  const char *label;
  bool installedLibrary, stagedLibrary;
  PendingSet pending;
  Bytes dll;  // afterwards
  sim::FaultPlan fault = {};
};
const MissingLibraryCase kMissingLibrary[] = {
    // Searches in order: installed library, staged library, installed library.
    {"library installed", true, true, 0, "old dll"},
    {"library missing", false, true, 0, "new dll"},
    {"library missing, one copy fails", false, true, 0, "new dll", {"CopyFileA", "", 0}},
    {"library missing, both copies fail", false, true, PENDING_LIBRARY, std::nullopt,
     {"CopyFileA", "", -1}},
    {"library missing, none staged", false, false, 0, std::nullopt},
    {"installed library's search fails", true, true, PENDING_LIBRARY, "old dll",
     {"FindFirstFileA", "", 0}},
    {"staged library's search fails", false, true, PENDING_LIBRARY, std::nullopt,
     {"FindFirstFileA", "", 1}},
};
using MissingLibraryTest = RowTest<MissingLibraryCase>;
TEST_P(MissingLibraryTest, SameVersionFillsOnlyAMissingLibrary) {
  const MissingLibraryCase &c = C();
  Install("4.50");
  Stage("4.50");
  if (!c.installedLibrary) m().RemoveFile(Sys("halundll.dll"));
  if (!c.stagedLibrary) m().RemoveFile(Sys("halundll.dl$"));
  PrepareRun();
  m().faults = c.fault;
  MachineState expected = Snapshot();
  EXPECT_EQ(c.pending, InstallMissingLibrary());
  // The staged library is left to the end.
  expected.dll = c.dll;
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(0u, Count("DeleteFileA"));
}
INSTANTIATE_TEST_SUITE_P(Rows, MissingLibraryTest, Rows({kTypical}, kMissingLibrary), RowName());

// ---------------------------------------------------------------- LaunchResident

// The installed executable is the program started, even when its directory
// has a blank and a program stands where the unquoted command line would
// name one ("C:\Program.exe"); a start that fails leaves nothing open.
struct LaunchCase {
  const char *label;
  std::string dir;
  bool fails;
};
const LaunchCase kLaunches[] = {
    {"usual directory", "C:\\WINDOWS\\SYSTEM32", false},
    {"a blank in the directory", "C:\\Program Files\\Sys", false},
    {"242 characters", "C:\\" + std::string(239, 'L'), false},
    {"start fails", "C:\\WINDOWS\\SYSTEM32", true},
};
using LaunchTest = RowTest<LaunchCase>;
TEST_P(LaunchTest, ResidentIsStartedDetachedWithItsPathAsProgramAndInit) {
  m().systemDir = C().dir;
  m().PutFile("C:\\Program.exe", "another program");
  Install("4.50");
  PrepareRun();
  m().createProcessFails = C().fails;
  LaunchResident();
  ASSERT_EQ(1u, m().Launches().size());
  const sim::Launch &launch = m().Launches()[0];
  const std::string installed = sim::Fold(C().dir) + "\\halunexe.exe";
  EXPECT_EQ(C().fails ? "" : installed, launch.program) << "the program started";
  EXPECT_EQ(ResidentCommandLine(), launch.commandLine);
  EXPECT_FALSE(launch.inheritHandles);
  EXPECT_EQ((DWORD)DETACHED_PROCESS, launch.creationFlags);
  EXPECT_TRUE(launch.startupOtherwiseZero);
  EXPECT_EQ(0u, launch.startupFlags);
  ExpectCleanExit();  // the new process's handles are closed
}
INSTANTIATE_TEST_SUITE_P(Rows, LaunchTest, Rows({kTypical}, kLaunches), RowName());

}  // namespace
