// The decision tree of a run on every Windows family: which course each
// machine state takes, what it leaves on disk and in the registry (compared
// whole, as a snapshot of the machine), and the order in which a typical
// replacement does its work.
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "notice/notice.h"
#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

template <class Case>
class CourseTest : public RowTest<Case> {
 protected:
  // A running resident started from the installed path, with its stub window
  // (answering with `handler`), which is returned.
  sim::Window &RunResident(std::function<LRESULT(UINT, WPARAM, LPARAM)> handler = nullptr) {
    sim::M().AddProcess(1200, sim::M().systemDir + "\\HALUNEXE.EXE", "HALUNEXE.EXE");
    return sim::M().AddWindow(STUB_WINDOW_CLASS, handler);
  }
  std::vector<UINT> Notices(bool sent) {
    return sent && this->F().notices ? std::vector<UINT>{NOTICE_MESSAGE} : std::vector<UINT>{};
  }
  // Restarts the machine as it is after the run (`expected`): the files whose
  // staged copies wait for it are put in place where the family schedules,
  // and no other managed file changes.
  void RestartAndExpect(MachineState expected, bool executable, bool library) {
    sim::M().faults = sim::FaultPlan();
    sim::M().Restart();
    if (this->F().restart != Restart::None) expected.InPlace(executable, library);
    MachineState after = Snapshot();
    EXPECT_EQ(std::tie(expected.exe, expected.dll, expected.stagedExe, expected.stagedDll),
              std::tie(after.exe, after.dll, after.stagedExe, after.stagedDll))
        << "the managed files after the restart";
  }
};

using FamilyTest = CourseTest<NoCase>;

TEST_P(FamilyTest, NothingStagedOnlyRecordsTheRun) {
  Install("4.50");
  m().PutFile(Sys("halundll.dl$"), "new dll");
  ExpectRun(RUN_NOTHING_DONE);
  EXPECT_EQ(0u, Count("LoadLibraryA") + Count("DeleteFileA") + Count("CopyFileA"));
}

TEST_P(FamilyTest, FreshInstallOverwritesAnInstalledLibraryAndStarts) {
  Stage("4.60");
  m().PutFile(Sys("halundll.dll"), "old dll");
  ExpectRun(RUN_FRESH_INSTALL);
  EXPECT_EQ(0u, Count("GetFileVersionInfoSizeA")) << "no version read";
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyTest, Rows(AllFamilies(), kNoCase), RowName());

// Run as LocalSystem (a Windows Installer deferred action that is not
// impersonated), the tool starts nothing on Windows NT, where the resident
// would run unseen outside the user's session; the statuses stay 1 and 3.
// It sees no window of the user's session, so a running copy is not told to
// close. Where the token cannot be read (the token functions missing or
// failing) it starts the resident as before.
struct LocalSystemCase {
  const char *label;
  bool installed, resident;
  Step token;         // an ADVAPI32 export taken away or a token call failing, or nullptr
  bool startsAnyway;  // the token does not say LocalSystem
};
const LocalSystemCase kLocalSystemCases[] = {
    {"fresh install", false, false, nullptr, false},
    {"replacement, nothing running", true, false, nullptr, false},
    {"replacement, the resident in the user's session", true, true, nullptr, false},
    {"no OpenProcessToken", true, false, Unbound("advapi32.dll", "OpenProcessToken"), true},
    {"no GetTokenInformation", false, false, Unbound("advapi32.dll", "GetTokenInformation"), true},
    {"OpenProcessToken fails", true, false, Failing("OpenProcessToken"), true},
    {"GetTokenInformation fails", false, false, Failing("GetTokenInformation"), true},
};
using LocalSystemTest = CourseTest<LocalSystemCase>;
TEST_P(LocalSystemTest, StartsNothingWhereItIsLocalSystem) {
  const LocalSystemCase &c = C();
  if (c.installed) Install("4.50");
  Stage("4.60");
  // The stub window is the resident's, in the user's session as every window
  // is made.
  if (c.resident) RunResident().processId = 1200;
  if (c.token) c.token();
  // Windows 95, 98 and ME have no LocalSystem: there the rows run as the user.
  const bool nt = F().platformId == VER_PLATFORM_WIN32_NT;
  if (nt) m().caller = sim::kLocalSystem;
  MachineState expected = RunExpecting(c.installed ? RUN_REPLACED : RUN_FRESH_INSTALL);
  if (nt && c.startsAnyway) expected.launches = {ResidentCommandLine() + " (as LocalSystem)"};
  expected.notices = Notices(c.resident && !nt);
  EXPECT_EQ(expected, Snapshot());
}
INSTANTIATE_TEST_SUITE_P(Rows, LocalSystemTest, Rows(AllFamilies(), kLocalSystemCases), RowName());

// Each course on every family: what a run leaves of each managed file and
// its staged copy. A different version, an empty staged version text among
// them, is replaced now on every family; an older one (below the minimum) is
// scheduled where the family can, with no notice before the restart. A
// replacement a stopped run left half done (the installed executable a whole
// or cut-short copy of the staged one) is finished as a replacement, not taken
// for the same version. The same version notifies nobody and puts right only
// a library cut short or missing. A file with no staged copy is not part of
// the replacement. The staged copies of the files not in place now are kept
// and scheduled where the family can; the status is then 4 and nothing is
// started. A copy failing once after the deletion is tried again.
struct CourseCase {
  const char *label;
  const char *exeBytes = "old exe";  // nullptr: no installed executable
  std::optional<std::string> exeVersion = "4.50";
  const char *stagedVersion = "4.60";
  const char *libBytes = "old dll";  // nullptr: no installed library
  bool stagedLib = true;
  const char *held = nullptr;         // an installed file held throughout
  // A file that can be read but not deleted, or the CopyFileA that fails.
  sim::FaultPlan fault = {};
  RunStatus expected = RUN_REPLACED;
  bool exeDeleted = true;
  Bytes exeAfter = "new exe", dllAfter = "new dll";
  bool exeKept = false, dllKept = false;  // staged copies kept
  size_t pauses = 1, copies = 2;
  bool notifies = true;  // an installed executable's running copies are told
  // Where no notice is sent, the libraries loaded: version.dll, and ADVAPI32
  // for the token's user before the relaunch (0: not counted).
  size_t loadsWithoutNotice = 0;
};
// One row a line, as a table reads.
// clang-format off
const CourseCase kCourses[] = {
    {.label = "different version", .loadsWithoutNotice = 2},
    {.label = "an empty staged version text, a different one", .stagedVersion = ""},
    {.label = "old version", .exeVersion = "4.30", .expected = RUN_RESTART_NEEDED, .exeDeleted = false, .exeAfter = "old exe", .dllAfter = "old dll", .exeKept = true, .dllKept = true, .pauses = 0, .copies = 0, .notifies = false},
    {.label = "executable in place", .exeBytes = "new exe", .exeVersion = "4.60", .exeDeleted = false, .copies = 1},
    {.label = "executable in place, library held", .exeBytes = "new exe", .exeVersion = "4.60", .held = "halundll.dll", .expected = RUN_RESTART_NEEDED, .exeDeleted = false, .dllAfter = "old dll", .dllKept = true, .pauses = LIBRARY_DELETE_ATTEMPTS, .copies = 0},
    {.label = "executable cut short with its version", .exeBytes = "new", .exeVersion = "4.60"},
    {.label = "executable cut short without one", .exeBytes = "new", .exeVersion = std::nullopt, .libBytes = "new dll", .pauses = 0, .copies = 1},
    {.label = "library cut short, same version", .stagedVersion = "4.50", .libBytes = "new", .expected = RUN_SAME_VERSION, .exeDeleted = false, .exeAfter = "old exe", .copies = 1, .notifies = false},
    {.label = "library cut short, same version, it cannot be deleted", .stagedVersion = "4.50", .libBytes = "new", .fault = {"DeleteFileA", "halundll.dll"}, .expected = RUN_RESTART_NEEDED, .exeDeleted = false, .exeAfter = "old exe", .dllAfter = "new", .dllKept = true, .pauses = LIBRARY_DELETE_ATTEMPTS, .copies = 0, .notifies = false},
    {.label = "same version, library installed", .stagedVersion = "4.50", .expected = RUN_SAME_VERSION, .exeDeleted = false, .exeAfter = "old exe", .dllAfter = "old dll", .pauses = 0, .copies = 0, .notifies = false},
    {.label = "same version, no installed library", .stagedVersion = "4.50", .libBytes = nullptr, .expected = RUN_SAME_VERSION, .exeDeleted = false, .exeAfter = "old exe", .pauses = 0, .copies = 1, .notifies = false},
    {.label = "same version, no installed library, its copy fails", .stagedVersion = "4.50", .libBytes = nullptr, .fault = {"CopyFileA", "", -1}, .expected = RUN_SAME_VERSION, .exeDeleted = false, .exeAfter = "old exe", .dllAfter = std::nullopt, .dllKept = true, .pauses = 0, .notifies = false},
    {.label = "only the executable staged, the resident leaves", .stagedLib = false, .dllAfter = "old dll", .pauses = 0, .copies = 1},
    {.label = "only the executable staged, the resident stays", .stagedLib = false, .held = "halunexe.exe", .expected = RUN_RESTART_NEEDED, .exeAfter = "old exe", .dllAfter = "old dll", .exeKept = true, .pauses = 0, .copies = 0},
    {.label = "fresh install, the executable's copy fails", .exeBytes = nullptr, .exeVersion = std::nullopt, .libBytes = nullptr, .fault = {"CopyFileA", "", 0}, .expected = RUN_RESTART_NEEDED, .exeDeleted = false, .exeAfter = std::nullopt, .exeKept = true, .pauses = 0},
    {.label = "installed executable locked", .held = "halunexe.exe", .expected = RUN_RESTART_NEEDED, .exeAfter = "old exe", .exeKept = true, .copies = 1},
    {.label = "installed library locked", .held = "halundll.dll", .expected = RUN_RESTART_NEEDED, .dllAfter = "old dll", .dllKept = true, .pauses = LIBRARY_DELETE_ATTEMPTS, .copies = 1},
    {.label = "one copy fails after the deletion", .fault = {"CopyFileA", "", 0}, .copies = 3},
    {.label = "every copy fails after the deletion", .fault = {"CopyFileA", "", -1}, .expected = RUN_RESTART_NEEDED, .exeAfter = std::nullopt, .dllAfter = std::nullopt, .exeKept = true, .dllKept = true, .copies = 4},
    {.label = "no installed library", .libBytes = nullptr, .pauses = 0},
};
// clang-format on
using CourseRowTest = CourseTest<CourseCase>;
TEST_P(CourseRowTest, LeavesEachFileInPlaceOrWaiting) {
  const CourseCase &c = C();
  if (c.exeBytes) m().PutExecutable(Sys("halunexe.exe"), c.exeBytes, c.exeVersion);
  if (c.libBytes) m().PutFile(Sys("halundll.dll"), c.libBytes);
  Stage(c.stagedVersion);
  if (!c.stagedLib) m().RemoveFile(Sys("halundll.dl$"));
  RunResident();
  if (c.held) m().LockFile(Sys(c.held), sim::kForever);
  m().faults = c.fault;
  MachineState expected = RunExpecting(c.expected);
  expected.exe = c.exeAfter, expected.dll = c.dllAfter;
  if (!c.exeKept) expected.stagedExe = std::nullopt;
  if (!c.dllKept) expected.stagedDll = std::nullopt;
  // The copies kept are scheduled when the run reports 4.
  const bool scheduled = c.expected == RUN_RESTART_NEEDED;
  if (scheduled && c.exeKept && c.dllKept)
    Schedule(expected, {"halundll.dll", "halunexe.exe"});
  else if (scheduled && (c.exeKept || c.dllKept))
    Schedule(expected, {c.exeKept ? "halunexe.exe" : "halundll.dll"});
  const bool notified = c.exeBytes && c.notifies;
  expected.notices = Notices(notified);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(c.exeDeleted, Deletions("halunexe.exe") > 0);
  // A library already in place, or not staged, is not touched.
  EXPECT_EQ(std::vector<DWORD>(c.pauses, LIBRARY_DELETE_PAUSE_MS), m().Sleeps());
  EXPECT_EQ(c.copies, Count("CopyFileA"));
  EXPECT_EQ(notified && F().notices, Count("FindWindowA") > 0) << "running copies looked for";
  if (c.loadsWithoutNotice && !F().notices) {
    EXPECT_EQ(c.loadsWithoutNotice, Count("LoadLibraryA"));
  }
  RestartAndExpect(expected, scheduled && c.exeKept, scheduled && c.dllKept);
}
INSTANTIATE_TEST_SUITE_P(Rows, CourseRowTest, Rows(AllFamilies(), kCourses), RowName());

// A run before the restart that an earlier run's restart-time instruction
// (a rename line on 98/ME, a delayed move on NT 5) still waits for: the
// staged copy it names stays, and a run that would report the pair done
// while the instruction is still to change it, or while that cannot be told,
// reports 4. A status of -1 or 4 stays as it is.
struct WaitingCase {
  const char *label;
  const Family *family;
  const char *waiting;  // the file the earlier instruction replaces
  Step arrange;
  RunStatus expected;
  Bytes exeAfter, dllAfter;
  bool exeKept, dllKept;            // staged copies kept
  bool launches = false;            // the resident started though the run reports 4
  const char *scheduled = nullptr;  // the file this run schedules
};
const Step kUnfinished = Steps({Installed("4.60", "new exe"), Staged("4.60")});
const Step kNewer = Steps({Installed("4.50"), Staged("4.60")});
// clang-format off
const WaitingCase kWaiting[] = {
    {"the library replaced now", &kWin98, "halundll.dll", kUnfinished, RUN_REPLACED, "new exe", "new dll", false, true},
    {"the library replaced now, its last comparison failing", &kWin98, "halundll.dll",
     Steps({kUnfinished, [] { sim::M().faults = {"CreateFileA", "halundll.dll", 1}; }}), RUN_RESTART_NEEDED, "new exe", "new dll", false, true, true},
    {"same version, the executable's other bytes waiting", &kWinXp, "halunexe.exe", Steps({Installed("4.50"), Staged("4.50")}),
     RUN_RESTART_NEEDED, "old exe", "old dll", true, false},
    {"running copies not listed", &kWinXp, "halunexe.exe", Steps({kNewer, Unbound("psapi.dll", "")}), RUN_SCAN_FAILED,
     "old exe", "old dll", true, true},
    {"the executable replaced now, the library held", &kWinXp, "halunexe.exe",
     Steps({kNewer, Locked("halundll.dll")}), RUN_RESTART_NEEDED, "new exe", "old dll", true, true, false, "halundll.dll"},
};
// clang-format on
using WaitingTest = CourseTest<WaitingCase>;
TEST_P(WaitingTest, StagedCopyAnEarlierRestartInstructionNamesStays) {
  const WaitingCase &c = C();
  c.arrange();
  if (F().restart == Restart::Wininit)
    m().PutFile(m().windowsDir + "\\wininit.ini", RenameFile({c.waiting}));
  else
    m().QueueDelayedMove(RestartMoves({c.waiting})[0]);
  const MachineState before = Snapshot();
  MachineState expected = RunExpecting(c.expected);
  expected.exe = c.exeAfter, expected.dll = c.dllAfter;
  expected.stagedExe = c.exeKept ? before.stagedExe : std::nullopt;
  expected.stagedDll = c.dllKept ? before.stagedDll : std::nullopt;
  if (c.launches) expected.launches = {ResidentCommandLine()};
  if (c.scheduled) expected.moves.push_back(RestartMoves({c.scheduled})[0]);
  EXPECT_EQ(expected, Snapshot());
}
INSTANTIATE_TEST_SUITE_P(Rows, WaitingTest, OwnFamilyRows(kWaiting), RowName());

// Without administrator rights (Windows 2000 and later) no file of the system
// directory can be deleted, no delayed move queued and the marker's key not
// opened with full access. Only the files tell: the same version reports 2
// with both staged copies left; a replacement closes the resident, spends the
// library's ten attempts and reports 4 with nothing scheduled, nothing
// started and the resident gone.
struct UnelevatedCase {
  const char *label, *staged;
  RunStatus expected;
  bool notified;
  size_t moveAttempts;
  uint64_t atLeastMs;
};
const UnelevatedCase kUnelevated[] = {
    {"same version", "4.50", RUN_SAME_VERSION, false, 0, 0},
    {"replacement", "4.60", RUN_RESTART_NEEDED, true, 2,
     (uint64_t)LIBRARY_DELETE_ATTEMPTS *LIBRARY_DELETE_PAUSE_MS},
};
using WithoutAdministratorRightsTest = CourseTest<UnelevatedCase>;
TEST_P(WithoutAdministratorRightsTest, NothingChangesButTheResidentCloses) {
  Install("4.50");
  Stage(C().staged);
  RunResident([](UINT message, WPARAM, LPARAM) -> LRESULT {
    if (message == NOTICE_MESSAGE) sim::M().FindProcess(1200)->endsAtMs = sim::M().nowMs;
    return 0;
  });
  for (const char *name : {"halunexe.exe", "halundll.dll", "halunexe.ex$", "halundll.dl$"})
    m().LockFile(Sys(name), sim::kForever, ERROR_ACCESS_DENIED);
  m().SetValue(kMarkerKey, kMarkerValue, REG_SZ, "before");
  m().FindKey(kMarkerKey)->refused = true;
  m().delayedMovesRefused = true;
  MachineState expected = RunExpecting(C().expected, false);
  expected.notices = Notices(C().notified);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(!C().notified, m().IsRunning(*m().FindProcess(1200)));
  EXPECT_EQ(C().moveAttempts, Count("MoveFileExA"));
  EXPECT_LE(C().atLeastMs, m().nowMs) << "virtual time the run took";
}
INSTANTIATE_TEST_SUITE_P(Rows, WithoutAdministratorRightsTest,
                         Rows(Families(Where::DelayedMoves, Where::Bits32), kUnelevated),
                         RowName());

// "start" in the marker ends a run on 98/ME only, before any path is built.
// A marker key that is missing or refused changes no course: it is never
// created, and a refused one keeps its value.
enum Key { kPresent, kMissing, kRefused };
struct MarkerCase {
  const char *label, *marker;
  RunStatus expected;
  Key key;
};
const MarkerCase kStartOn98[] = {{"START", "START", RUN_NOTHING_DONE, kPresent},
                                 {"Complete", "Complete", RUN_REPLACED, kPresent},
                                 {"started", "started", RUN_REPLACED, kPresent}};
const MarkerCase kStartElsewhere[] = {{"START", "START", RUN_REPLACED, kPresent}};
const MarkerCase kKeyGone[] = {{"key refused", "start", RUN_REPLACED, kRefused},
                               {"no key", "", RUN_REPLACED, kMissing}};
using StartMarkerTest = CourseTest<MarkerCase>;
TEST_P(StartMarkerTest, EndsTheRunOn98MeOnly) {
  m().RemoveKey(kMarkerKey);
  if (C().key != kMissing)
    m().SetValue(kMarkerKey, kMarkerValue, REG_SZ, std::string(C().marker) + '\0');
  if (C().key == kRefused) m().FindKey(kMarkerKey)->refused = true;
  Install("4.50");
  Stage("4.60");
  ExpectRun(C().expected, C().key == kPresent);
  if (C().key == kMissing) {
    EXPECT_EQ(nullptr, m().FindKey(kMarkerKey)) << "the key is never created";
  }
  bool read = F().expected == PLATFORM_WIN98ME && C().key == kPresent;
  EXPECT_EQ(read ? 1u : 0u, Count("RegQueryValueExA", 1, kMarkerValue)) << "marker read";
  if (C().expected == RUN_NOTHING_DONE) {
    EXPECT_EQ(0u, Count("GetSystemDirectoryA")) << "no path built";
  }
}
INSTANTIATE_TEST_SUITE_P(On98Me, StartMarkerTest, Rows(Families(Where::Win98Me), kStartOn98),
                         RowName());
INSTANTIATE_TEST_SUITE_P(Elsewhere, StartMarkerTest,
                         Rows(Families(Where::NotWin98Me, Where::Bits32), kStartElsewhere),
                         RowName());
INSTANTIATE_TEST_SUITE_P(KeyGone, StartMarkerTest,
                         Rows({First(Where::Win98Me), kTypical, First(Where::NoRestart, Where::Nt)},
                              kKeyGone),
                         RowName());

// A system directory that cannot be read whole ends the run as if nothing
// were staged: no managed file is looked at or touched.
struct DirectoryCase {
  const char *label;
  std::string directory;
  bool failCall, overrideLength;
  RunStatus expected;
};
const std::string kLongest = "C:\\" + std::string(SYSTEM_DIR_MAX_LENGTH - 3, 'S');
const DirectoryCase kDirectories[] = {
    {"242 characters", kLongest, false, false, RUN_REPLACED},
    {"243 characters", kLongest + "T", false, false, RUN_NOTHING_DONE},
    {"300 characters", kLongest + std::string(58, 'T'), false, false, RUN_NOTHING_DONE},
    {"GetSystemDirectoryA fails", "C:\\WINDOWS\\SYSTEM32", true, false, RUN_NOTHING_DONE},
    {"a length the text does not have", "C:\\WINDOWS\\SYSTEM32", false, true, RUN_NOTHING_DONE},
};
using DirectoryTest = CourseTest<DirectoryCase>;
TEST_P(DirectoryTest, UnusableSystemDirectoryTouchesNoManagedFile) {
  m().systemDir = C().directory;
  if (C().failCall) m().faults.operation = "GetSystemDirectoryA";
  if (C().overrideLength) m().systemDirOverride = std::make_pair(C().directory + '\0', 40u);
  Install("4.50");
  Stage("4.60");
  ExpectRun(C().expected);
  if (C().expected != RUN_REPLACED) {
    for (const char *call : {"FindFirstFileA", "CreateFileA", "LoadLibraryA"})
      EXPECT_EQ(0u, Count(call)) << call;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, DirectoryTest,
                         Rows({kTypical, First(Where::Wininit), First(Where::NoRestart, Where::Nt)},
                              kDirectories),
                         RowName());

// The order of the typical run where no state shows it: the version gate
// reads the staged executable's presence, then the installed one's; the
// running copy is told before its executable goes, after the full wait for
// it; at the end the delayed moves an earlier run may have left are read
// before the staged copies go, and those go before the marker is written.
using CoursesTest = SimTest;

TEST_F(CoursesTest, TypicalRunOnXpTellsTheCopyBeforeItDeletesAndReadsTheMovesBeforeTheCopiesGo) {
  AddMarkerKey();
  Install("4.50");
  Stage("4.60");
  m().AddProcess(4, "System", "System");
  m().AddProcess(1200, "C:\\WINDOWS\\SYSTEM32\\HALUNEXE.EXE", "HALUNEXE.EXE");
  m().AddProcess(1300, "C:\\WINDOWS\\EXPLORER.EXE", "Explorer.EXE");
  m().AddWindow(STUB_WINDOW_CLASS);

  MachineState expectedState = RunExpecting(RUN_REPLACED);
  expectedState.notices = {NOTICE_MESSAGE};
  EXPECT_EQ(expectedState, Snapshot());

  const std::string installedExe = g_run.paths.installedExe, stagedExe = g_run.paths.stagedExe;
  EXPECT_LT(FirstCall("FindFirstFileA", stagedExe), FirstCall("FindFirstFileA", installedExe));
  EXPECT_LT(FirstCall("FindFirstFileA", installedExe), FirstCall("GetFileVersionInfoA"));
  EXPECT_LT(FirstCall("GetFileVersionInfoA", stagedExe), FirstCall("EnumProcesses")) << "gate first";
  EXPECT_LT(FirstCall("SendMessageTimeoutA"), FirstCall("WaitForSingleObject"));
  EXPECT_EQ(std::to_string(NOTICE_WAIT_MS), m().CallsNamed("WaitForSingleObject")[0]->args[1]);
  EXPECT_LT(FirstCall("WaitForSingleObject"), FirstCall("DeleteFileA", installedExe));
  const size_t movesRead = FirstCall("RegQueryValueExA", "PendingFileRenameOperations", 1);
  EXPECT_LT(movesRead, FirstCall("DeleteFileA", g_run.paths.stagedLib));
  EXPECT_LT(FirstCall("DeleteFileA", stagedExe), FirstCall("RegSetValueExA"));
}

}  // namespace
