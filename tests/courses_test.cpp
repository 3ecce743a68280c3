// The decision tree of a run on every Windows family: which course each
// machine state takes, what it leaves on disk and in the registry (compared
// whole, as a snapshot of the machine), and the order in which a typical
// replacement does its work.
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "notice/notice.h"
#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const std::string kOld = "old exe", kOldDll = "old dll", kNew = "new exe", kNewDll = "new dll";

template <class Case>
class CourseTest : public RowTest<Case> {
 protected:
  // A running resident started from the installed path, with its stub window
  // (answering with `handler`).
  void RunResident(std::function<LRESULT(UINT, WPARAM, LPARAM)> handler = nullptr) {
    sim::M().AddProcess(1200, sim::M().systemDir + "\\HALUNEXE.EXE", "HALUNEXE.EXE");
    sim::M().AddWindow(STUB_WINDOW_CLASS, handler);
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
  m().PutFile(Sys("halundll.dl$"), kNewDll);
  MachineState expected = RunExpecting(RUN_NOTHING_DONE);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(0u, Count("LoadLibraryA") + Count("DeleteFileA") + Count("CopyFileA"));
}

TEST_P(FamilyTest, FreshInstallOverwritesAnInstalledLibraryAndStarts) {
  Stage("4.60");
  m().PutFile(Sys("halundll.dll"), kOldDll);
  MachineState expected = RunExpecting(RUN_FRESH_INSTALL);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(0u, Count("GetFileVersionInfoSizeA")) << "no version read";
}

TEST_P(FamilyTest, OldVersionIsScheduledWhereThePlatformCan) {
  Install("4.30");
  Stage("4.60");
  RunResident();
  // No notice before a restart; nothing started.
  MachineState expected = RunExpecting(RUN_RESTART_NEEDED);
  Schedule(expected, {"halundll.dll", "halunexe.exe"});
  EXPECT_EQ(expected, Snapshot());
  RestartAndExpect(expected, true, true);
}

TEST_P(FamilyTest, DifferentVersionIsReplacedNowOnEveryFamily) {
  Install("4.50");
  Stage("4.60");
  RunResident();
  MachineState expected = RunExpecting(RUN_REPLACED);
  expected.notices = Notices(true);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(std::vector<DWORD>{LIBRARY_DELETE_PAUSE_MS}, m().Sleeps());
  // Without a notice only version.dll is loaded, and ADVAPI32 for the
  // token's user before the relaunch.
  if (!F().notices) {
    EXPECT_EQ(2u, Count("LoadLibraryA"));
  }
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
  const char *missing;  // an ADVAPI32 export taken away, or nullptr
  const char *failing;  // a token call made to fail, or nullptr
  bool startsAnyway;    // the token does not say LocalSystem
};
const LocalSystemCase kLocalSystemCases[] = {
    {"fresh install", false, false, nullptr, nullptr, false},
    {"replacement, nothing running", true, false, nullptr, nullptr, false},
    {"replacement, the resident in the user's session", true, true, nullptr, nullptr, false},
    {"no OpenProcessToken", true, false, "OpenProcessToken", nullptr, true},
    {"no GetTokenInformation", false, false, "GetTokenInformation", nullptr, true},
    {"OpenProcessToken fails", true, false, nullptr, "OpenProcessToken", true},
    {"GetTokenInformation fails", false, false, nullptr, "GetTokenInformation", true},
};
using LocalSystemTest = CourseTest<LocalSystemCase>;
TEST_P(LocalSystemTest, StartsNothingWhereItIsLocalSystem) {
  const LocalSystemCase &c = C();
  if (c.installed) Install("4.50");
  Stage("4.60");
  if (c.resident) {
    sim::Process &resident = m().AddProcess(1200, m().systemDir + "\\HALUNEXE.EXE", "HALUNEXE.EXE");
    sim::Window &stub = m().AddWindow(STUB_WINDOW_CLASS);
    stub.processId = resident.id;
    stub.session = sim::kUser.session;
  }
  if (c.missing) m().SystemLibrary("advapi32.dll").exports.erase(c.missing);
  if (c.failing) m().faults = {c.failing, "", -1};
  // Windows 95, 98 and ME have no LocalSystem: there the rows run as the user.
  const bool nt = F().platformId == VER_PLATFORM_WIN32_NT;
  if (nt) m().caller = sim::kLocalSystem;
  MachineState expected = RunExpecting(c.installed ? RUN_REPLACED : RUN_FRESH_INSTALL);
  if (nt && c.startsAnyway) expected.launches = {ResidentCommandLine() + " (as LocalSystem)"};
  expected.notices = Notices(c.resident && !nt);
  EXPECT_EQ(expected, Snapshot());
}
INSTANTIATE_TEST_SUITE_P(Rows, LocalSystemTest, Rows(AllFamilies(), kLocalSystemCases), RowName());

// A replacement that a stopped run left half done: the installed executable
// is a whole or cut-short copy of the staged one. It is finished as the
// replacement does it (notice, the executable once, the library after its
// pause, scheduled when held), not taken for the same version. A library cut
// short beside another build of the same version is put right alone. On the
// same version nothing is replaced and the resident is not notified: a
// library that is not installed is put in place from its staged copy; if that
// copy fails, the staged library is kept for a later run. Status 2 either way.
// With only the executable staged the library is not part of the
// replacement: the installed library is kept, nothing is pending or
// scheduled for it, and with the executable replaced the run reports 3 and
// restarts it; a copy that stays keeps the executable pending, and only its
// line or move is written. A course that cannot put every file in place now
// keeps the staged copies of the files not in place and schedules them where
// the family can; the status is 4 and nothing is started; after the restart
// they are in place where they were scheduled. A fresh install notifies no
// running copy. A copy that fails once after the installed copy was deleted
// is tried again; failing twice, the staged copy is kept for the next run
// and the run reports 4 (on NT 4, with no restart-time replacement, too). A
// replacement with no installed library copies the staged one into place
// (the completion step once deleted it, leaving no library at all).
struct CourseCase {
  const char *label;
  const char *exeBytes;  // nullptr: no installed executable
  std::optional<std::string> exeVersion;
  const char *stagedVersion, *libBytes;  // libBytes nullptr: no installed library
  bool stagedLib;
  const char *held;                // an installed file held throughout, or nullptr
  std::optional<int> failingCopy;  // the CopyFileA that fails (-1: every one), if any
  RunStatus expected;
  bool exeDeleted;
  Bytes exeAfter, dllAfter;
  bool exeKept, dllKept;  // staged copies kept
  size_t pauses, copies;
};
const CourseCase kCourses[] = {
    {"executable in place", "new exe", "4.60", "4.60", "old dll", true, nullptr, std::nullopt,
     RUN_REPLACED, false, "new exe", "new dll", false, false, 1, 1},
    {"executable in place, library held", "new exe", "4.60", "4.60", "old dll", true,
     "halundll.dll", std::nullopt, RUN_RESTART_NEEDED, false, "new exe", "old dll", false, true,
     LIBRARY_DELETE_ATTEMPTS, 0},
    {"executable cut short with its version", "new", "4.60", "4.60", "old dll", true, nullptr,
     std::nullopt, RUN_REPLACED, true, "new exe", "new dll", false, false, 1, 2},
    {"executable cut short without one", "new", std::nullopt, "4.60", "new dll", true, nullptr,
     std::nullopt, RUN_REPLACED, true, "new exe", "new dll", false, false, 0, 1},
    {"library cut short, same version", "old exe", "4.50", "4.50", "new", true, nullptr,
     std::nullopt, RUN_SAME_VERSION, false, "old exe", "new dll", false, false, 1, 1},
    {"same version, library installed", "old exe", "4.50", "4.50", "old dll", true, nullptr,
     std::nullopt, RUN_SAME_VERSION, false, "old exe", "old dll", false, false, 0, 0},
    {"same version, no installed library", "old exe", "4.50", "4.50", nullptr, true, nullptr,
     std::nullopt, RUN_SAME_VERSION, false, "old exe", "new dll", false, false, 0, 1},
    {"same version, no installed library, its copy fails", "old exe", "4.50", "4.50", nullptr, true,
     nullptr, -1, RUN_SAME_VERSION, false, "old exe", std::nullopt, false, true, 0, 2},
    {"only the executable staged, the resident leaves", "old exe", "4.50", "4.60", "old dll", false,
     nullptr, std::nullopt, RUN_REPLACED, true, "new exe", "old dll", false, false, 0, 1},
    {"only the executable staged, the resident stays", "old exe", "4.50", "4.60", "old dll", false,
     "halunexe.exe", std::nullopt, RUN_RESTART_NEEDED, true, "old exe", "old dll", true, false, 0,
     0},
    {"fresh install, the executable's copy fails", nullptr, std::nullopt, "4.60", nullptr, true,
     nullptr, 0, RUN_RESTART_NEEDED, false, std::nullopt, "new dll", true, false, 0, 2},
    {"installed executable locked", "old exe", "4.50", "4.60", "old dll", true, "halunexe.exe",
     std::nullopt, RUN_RESTART_NEEDED, true, "old exe", "new dll", true, false, 1, 1},
    {"installed library locked", "old exe", "4.50", "4.60", "old dll", true, "halundll.dll",
     std::nullopt, RUN_RESTART_NEEDED, true, "new exe", "old dll", false, true,
     LIBRARY_DELETE_ATTEMPTS, 1},
    {"one copy fails after the deletion", "old exe", "4.50", "4.60", "old dll", true, nullptr, 0,
     RUN_REPLACED, true, "new exe", "new dll", false, false, 1, 3},
    {"every copy fails after the deletion", "old exe", "4.50", "4.60", "old dll", true, nullptr, -1,
     RUN_RESTART_NEEDED, true, std::nullopt, std::nullopt, true, true, 1, 4},
    {"no installed library", "old exe", "4.50", "4.60", nullptr, true, nullptr, std::nullopt,
     RUN_REPLACED, true, "new exe", "new dll", false, false, 0, 2},
};
using CourseRowTest = CourseTest<CourseCase>;
TEST_P(CourseRowTest, LeavesEachFileInPlaceOrWaiting) {
  const CourseCase &c = C();
  if (c.exeBytes) m().PutExecutable(Sys("halunexe.exe"), c.exeBytes, c.exeVersion);
  if (c.libBytes) m().PutFile(Sys("halundll.dll"), c.libBytes);
  Stage(c.stagedVersion);
  if (!c.stagedLib) m().RemoveFile(Sys("halundll.dl$"));
  RunResident();
  if (c.held) m().LockFile(Sys(c.held), sim::kForever);
  if (c.failingCopy) m().faults = {"CopyFileA", "", *c.failingCopy};
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
  const bool notified = c.exeBytes && c.expected != RUN_SAME_VERSION;
  expected.notices = Notices(notified);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(c.exeDeleted, Deletions("halunexe.exe") > 0);
  // A library already in place, or not staged, is not touched.
  EXPECT_EQ(std::vector<DWORD>(c.pauses, LIBRARY_DELETE_PAUSE_MS), m().Sleeps());
  EXPECT_EQ(c.copies, Count("CopyFileA"));
  EXPECT_EQ(notified && F().notices, Count("FindWindowA") > 0) << "running copies looked for";
  RestartAndExpect(expected, scheduled && c.exeKept, scheduled && c.dllKept);
}
INSTANTIATE_TEST_SUITE_P(Rows, CourseRowTest, Rows(AllFamilies(), kCourses), RowName());

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
  MachineState expected = RunExpecting(C().expected, C().key == kPresent);
  EXPECT_EQ(expected, Snapshot());
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
  MachineState expected = RunExpecting(C().expected);
  EXPECT_EQ(expected, Snapshot());
  if (C().expected != RUN_REPLACED) {
    for (const char *call : {"FindFirstFileA", "CreateFileA", "LoadLibraryA"})
      EXPECT_EQ(0u, Count(call)) << call;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, DirectoryTest,
                         Rows({kTypical, First(Where::Wininit), First(Where::NoRestart, Where::Nt)},
                              kDirectories),
                         RowName());

// The steps of the typical run, as the call log shows them: a readable
// account of each call that matters, in order, with the arguments that tell
// it apart (LoadStringA only for the version gate's text).
std::vector<std::string> Steps() {
  static const std::map<std::string, std::vector<int>> kShown = {
      {"GetVersionExA", {}},        {"GetSystemDirectoryA", {}},
      {"EnumProcesses", {}},        {"FindWindowA", {}},
      {"SendMessageTimeoutA", {}},  {"FreeLibrary", {}},
      {"RegOpenKeyExA", {}},        {"RegQueryValueExA", {}},
      {"RegCloseKey", {}},          {"CloseHandle", {}},
      {"LoadLibraryA", {0}},        {"GetFileVersionInfoA", {0}},
      {"DeleteFileA", {0}},         {"Sleep", {0}},
      {"CreateProcessA", {0}},      {"OpenProcess", {2, 0}},
      {"WaitForSingleObject", {1}}, {"CopyFileA", {0, 1}},
      {"RegSetValueExA", {1}},      {"LoadStringA", {1}}};
  std::vector<std::string> steps;
  for (const sim::Call &call : sim::M().Calls()) {
    auto shown = kShown.find(call.name);
    if (shown == kShown.end() || (call.name == "LoadStringA" && call.args[1] != "20")) continue;
    std::string step = call.name;
    for (int arg : shown->second) step += " " + call.args[arg];
    steps.push_back(step);
  }
  return steps;
}

class CoursesTest : public SimTest {};

TEST_F(CoursesTest, TypicalRunOnXpTakesEveryStepInOrder) {
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
      // not started as LocalSystem: the token is read first
      "LoadLibraryA ADVAPI32.dll",
      "CloseHandle",
      "FreeLibrary",
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
      "RegSetValueExA " + kMarkerValue,
      "RegCloseKey",
      // the process library last
      "FreeLibrary",
  };
  std::vector<std::string> actual = Steps();
  auto difference = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  EXPECT_EQ(expected, actual) << "first difference at step " << difference.first - expected.begin();

  // Presence of the staged, then the installed executable, before the gate.
  auto searches = m().CallsNamed("FindFirstFileA");
  ASSERT_GE(searches.size(), 2u);
  EXPECT_EQ(dir + "\\halunexe.ex$", searches[0]->args[0]);
  EXPECT_EQ(dir + "\\halunexe.exe", searches[1]->args[0]);

  // The command line is in the state compared above.
  ASSERT_EQ(1u, m().Launches().size());
  EXPECT_EQ(DETACHED_PROCESS, m().Launches()[0].creationFlags);
}

}  // namespace
