// The running-instance notice: which running copies are found on each
// family, what is sent to the stub window, and what the run does when the
// process functions cannot be bound or the resident holds on to its files.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "notice/notice.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const DWORD kResidentId = 1200;

class NoticeTest : public SimTest {
 protected:
  // 4.50 installed, 4.60 staged, the marker key present, on `family`.
  void Ready(const Family &family) {
    SetUp();
    UseFamily(family);
    AddMarkerKey();
    Install("4.50");
    Stage("4.60");
  }
  void AddStub() { m().AddWindow(STUB_WINDOW_CLASS); }
  std::string ResidentInSystemDir() const { return sim::M().systemDir + "\\HALUNEXE.EXE"; }

  size_t Notices() const {
    size_t count = 0;
    for (const sim::Window &window : sim::M().windows)
      count += std::count(window.received.begin(), window.received.end(), (UINT)NOTICE_MESSAGE);
    return count;
  }
  // Identifiers of the processes opened to read their main module's name
  // (NT 5), and of those opened to wait for their end.
  std::vector<std::string> OpenedIds() const { return OpenedWith("0x411"); }
  std::vector<std::string> WaitedIds() const { return OpenedWith("0x100000"); }
  std::vector<std::string> OpenedWith(const std::string &access) const {
    std::vector<std::string> ids;
    for (const sim::Call *call : sim::M().CallsNamed("OpenProcess"))
      if (call->args[0] == access) ids.push_back(call->args[2]);
    return ids;
  }
  // The virtual time of the first deletion of `path`, or -1.
  long long DeletedAt(const std::string &path) const {
    for (const sim::Call *call : sim::M().CallsNamed("DeleteFileA"))
      if (sim::Fold(call->args[0]) == sim::Fold(path)) return static_cast<long long>(call->atMs);
    return -1;
  }
  size_t LoadsOf(const std::string &ending) const {
    size_t count = 0;
    for (const sim::Call *call : sim::M().CallsNamed("LoadLibraryA")) {
      std::string name = sim::Fold(call->args[0]);
      if (name.size() >= ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
        ++count;
    }
    return count;
  }
  // Both installed files carry the staged bytes.
  void ExpectReplaced(const std::string &label) {
    EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << label;
    EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << label;
  }
  void ExpectUntouched(const std::string &label) {
    EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << label;
    EXPECT_EQ("old dll", m().FileBytes(Sys("halundll.dll"))) << label;
    EXPECT_TRUE(m().HasFile(Sys("halunexe.ex$"))) << label << ": staged executable kept";
    EXPECT_TRUE(m().HasFile(Sys("halundll.dl$"))) << label << ": staged library kept";
  }
};

// A copy started from another directory: NT 5 matches the main module's base
// name wherever it lies, 98/ME only the installed executable's full path, the
// other families look for nothing. (A copy started from the installed path
// is covered with the courses of a run.)
struct MatchRow {
  const Family *family;
  size_t notices;
};

TEST_F(NoticeTest, CopyFromAnotherDirectoryIsMatchedOnNt5Only) {
  const MatchRow rows[] = {
      {&kWin32s, 0}, {&kWin95, 0},   {&kWin98, 0}, {&kWinMe, 0},
      {&kNt4, 0},    {&kWin2000, 1}, {&kWinXp, 1}, {&kWin10, 1},
  };
  for (const MatchRow &row : rows) {
    Ready(*row.family);
    m().AddProcess(8, "C:\\WINDOWS\\EXPLORER.EXE", "Explorer.EXE");
    m().AddProcess(kResidentId, "C:\\TOOLS\\HALUNEXE.EXE", "HALUNEXE.EXE");
    AddStub();
    const std::string label = row.family->name;
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << label;
    EXPECT_EQ(row.notices, Notices()) << label;
    for (const sim::Call *call : m().CallsNamed("SendMessageTimeoutA")) {
      EXPECT_EQ("0x402", call->args[1]) << label;
      EXPECT_EQ("0", call->args[2]) << label;
      EXPECT_EQ("0", call->args[3]) << label;
      EXPECT_EQ("0x3", call->args[4]) << label << ": SMTO_BLOCK | SMTO_ABORTIFHUNG";
      EXPECT_EQ("30000", call->args[5]) << label << ": the limit per window";
    }
    for (const sim::Call *call : m().CallsNamed("FindWindowA")) {
      EXPECT_EQ("HALUNSHOW_STUB", call->args[0]) << label;
      EXPECT_EQ("(null)", call->args[1]) << label;
    }
    ExpectReplaced(label);
    EXPECT_EQ(0, m().LoadedLibraryCount()) << label;
    ExpectCleanExit();
  }
}

TEST_F(NoticeTest, MatchWithoutStubWindowSendsNothing) {
  for (const Family *family : {&kWinXp, &kWin98}) {
    Ready(*family);
    m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
    m().AddWindow("SOME_OTHER_CLASS");
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << family->name;
    EXPECT_EQ(1u, m().CallsNamed("FindWindowA").size()) << family->name << ": the window is looked for";
    EXPECT_TRUE(m().CallsNamed("SendMessageTimeoutA").empty()) << family->name;
    EXPECT_TRUE(WaitedIds().empty()) << family->name << ": no notice, no wait";
    EXPECT_TRUE(m().CallsNamed("WaitForSingleObject").empty()) << family->name;
    ExpectReplaced(family->name);
    ExpectCleanExit();
  }
}

TEST_F(NoticeTest, TwoCopiesSendTwoNotices) {
  for (const Family *family : {&kWinXp, &kWinMe}) {
    Ready(*family);
    m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
    m().AddProcess(8, "C:\\WINDOWS\\EXPLORER.EXE", "explorer.exe");
    m().AddProcess(kResidentId + 4, sim::Fold(ResidentInSystemDir()), "HalunExe.exe");
    AddStub();
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << family->name;
    EXPECT_EQ(2u, Notices()) << family->name;
    EXPECT_EQ(2u, m().CallsNamed("FindWindowA").size()) << family->name << ": looked up anew per copy";
    ExpectCleanExit();
  }
}

// A process that cannot be opened or read keeps the name "unknown" and never
// matches, whatever its main module is called. A name too long for its
// field comes back unended: it is read no further than the field (under
// ASan) and matches nothing.
TEST_F(NoticeTest, UnreadableProcessesNeverMatch) {
  struct Case {
    const char *label;
    bool openable, modulesReadable;
    const char *operation;
    const Family *family = &kWinXp;
    size_t nameTail = 0;  // characters after the resident's name
  };
  const Case cases[] = {
      {"not openable", false, true, ""},
      {"modules unreadable", true, false, ""},
      {"base name not returned", true, true, "GetModuleBaseNameA"},
      {"base name unended", true, true, "", &kWinXp, 300},
      {"snapshot name unended", true, true, "", &kWin98, 300},
  };
  for (const Case &c : cases) {
    Ready(*c.family);
    const std::string tail(c.nameTail, 'x');
    m().AddProcess(kResidentId, ResidentInSystemDir() + tail, "halunexe.exe" + tail);
    m().processes.back().openable = c.openable;
    m().processes.back().modulesReadable = c.modulesReadable;
    m().faults.operation = c.operation;
    AddStub();
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << c.label;
    EXPECT_EQ(0u, Notices()) << c.label;
    ExpectCleanExit();
    if (c.family != &kWinXp) continue;
    EXPECT_EQ(std::vector<std::string>{std::to_string(kResidentId)}, OpenedIds()) << c.label;
    EXPECT_EQ(c.openable ? 1u : 0u, m().CallsNamed("EnumProcessModules").size()) << c.label;
    if (!c.modulesReadable) {
      EXPECT_TRUE(m().CallsNamed("GetModuleBaseNameA").empty()) << c.label;
    }
    ExpectCleanExit();
  }
}

TEST_F(NoticeTest, ProcessesAreOpenedForQueryReadAndTerminateOneModuleAtATime) {
  Ready(kWinXp);
  m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  auto opens = m().CallsNamed("OpenProcess");
  ASSERT_EQ(2u, opens.size());
  EXPECT_EQ("0x411", opens[0]->args[0]);
  EXPECT_EQ("0", opens[0]->args[1]) << "not inheritable";
  // The copy that matched is opened again, only to wait for its end, before
  // the notice.
  EXPECT_EQ("0x100000", opens[1]->args[0]) << "SYNCHRONIZE";
  EXPECT_EQ("0", opens[1]->args[1]) << "not inheritable";
  EXPECT_EQ(std::to_string(kResidentId), opens[1]->args[2]);
  EXPECT_LT(opens[1] - m().calls.data(), m().CallsNamed("SendMessageTimeoutA")[0] - m().calls.data())
      << "opened for the wait before the notice";
  auto modules = m().CallsNamed("EnumProcessModules");
  ASSERT_EQ(1u, modules.size());
  EXPECT_EQ(std::to_string(sizeof(HMODULE)), modules[0]->args[0]) << "room for the main module only";
  auto names = m().CallsNamed("GetModuleBaseNameA");
  ASSERT_EQ(1u, names.size());
  EXPECT_EQ("260", names[0]->args[0]);
  EXPECT_EQ(1u, Notices());
  ExpectCleanExit();
}

TEST_F(NoticeTest, IdentifierZeroIsOpenedOnNt5AndSkippedInTheSnapshot) {
  // NT 5: the idle process is opened like any other, and the open fails.
  Ready(kWinXp);
  m().AddProcess(0, "", "System Idle Process");
  m().processes.back().openable = false;
  m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ((std::vector<std::string>{"0", std::to_string(kResidentId)}), OpenedIds());
  EXPECT_EQ(1u, Notices());
  ExpectCleanExit();

  // 98/ME: an entry with identifier 0 is passed over even when its path is
  // the installed executable's; the walk goes on to the next entry.
  Ready(kWin98);
  m().AddProcess(0, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ(0u, Notices()) << "identifier 0 alone";
  EXPECT_TRUE(OpenedIds().empty()) << "the snapshot walk opens no process";
  ExpectCleanExit();

  Ready(kWin98);
  m().AddProcess(0, ResidentInSystemDir(), "halunexe.exe");
  m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ(1u, Notices()) << "identifier 0, then the resident";
  ExpectCleanExit();
}

// The process list holds 1024 identifiers; a copy past them is not seen.
TEST_F(NoticeTest, OnlyTheFirst1024ProcessesAreExamined) {
  struct Case {
    size_t residentAt;
    size_t notices;
  };
  for (Case c : {Case{1023, 1}, Case{1024, 0}, Case{1099, 0}}) {
    Ready(kWinXp);
    for (size_t i = 0; i < 1100; ++i) {
      if (i == c.residentAt)
        m().AddProcess(static_cast<DWORD>(8 + 4 * i), ResidentInSystemDir(), "halunexe.exe");
      else
        m().AddProcess(static_cast<DWORD>(8 + 4 * i), "C:\\APP.EXE", "app.exe");
    }
    AddStub();
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << "resident at " << c.residentAt;
    ASSERT_EQ(1u, m().CallsNamed("EnumProcesses").size());
    EXPECT_EQ("4096", m().CallsNamed("EnumProcesses")[0]->args[0]);
    EXPECT_EQ(1024u, OpenedIds().size()) << "resident at " << c.residentAt;
    EXPECT_EQ(c.notices, Notices()) << "resident at " << c.residentAt;
    ExpectCleanExit();
  }
}

// On NT 5 the running copies must be listed before anything is replaced.
TEST_F(NoticeTest, UnusableProcessFunctionsEndTheRunWithMinusOne) {
  struct Case {
    const char *label;
    const char *missingExport;  // "" with removeLibrary: psapi.dll absent
    bool removeLibrary;
    const char *operation;
  };
  const Case cases[] = {
      {"psapi.dll missing", "", true, ""},
      {"no GetModuleBaseNameA", "GetModuleBaseNameA", false, ""},
      {"no EnumProcesses", "EnumProcesses", false, ""},
      {"no EnumProcessModules", "EnumProcessModules", false, ""},
      {"EnumProcesses fails", "", false, "EnumProcesses"},
  };
  for (const Family *family : {&kWin2000, &kWinXp, &kWin10}) {
    for (const Case &c : cases) {
      Ready(*family);
      std::string label = std::string(family->name) + ", " + c.label;
      if (c.removeLibrary) m().systemLibraries.erase("psapi.dll");
      if (*c.missingExport) m().systemLibraries["psapi.dll"].exports.erase(c.missingExport);
      m().faults.operation = c.operation;
      m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
      AddStub();
      EXPECT_EQ(RUN_SCAN_FAILED, RunUpgrade()) << label;
      ExpectUntouched(label);
      EXPECT_EQ(0u, Notices()) << label;
      EXPECT_TRUE(m().CallsNamed("OpenProcess").empty()) << label;
      EXPECT_TRUE(m().launches.empty()) << label;
      EXPECT_TRUE(m().delayedMoves.empty()) << label;
      EXPECT_EQ(std::string("Complete\0", 9), MarkerText()) << label;
      EXPECT_EQ(0, m().LoadedLibraryCount()) << label;
      ExpectCleanExit();
    }
  }
}

TEST_F(NoticeTest, ProcessLibrariesComeFromTheSystemOnly) {
  Ready(kWinXp);
  // A psapi.dll planted beside the tool lacks every function: loading it
  // would end the run with -1.
  m().besideToolLibraries["psapi.dll"] = sim::Library();
  m().AddProcess(kResidentId, "C:\\TOOLS\\HALUNEXE.EXE", "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ(1u, Notices());
  std::vector<std::string> loads;
  for (const sim::Call *call : m().CallsNamed("LoadLibraryA")) loads.push_back(call->args[0]);
  EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\SYSTEM32\\version.dll",
                                      "C:\\WINDOWS\\SYSTEM32\\psapi.dll"}),
            loads);
  EXPECT_EQ(0, m().LoadedLibraryCount());
  ExpectCleanExit();

  // Without one in the system directory, the planted one is not used either.
  Ready(kWinXp);
  m().besideToolLibraries["psapi.dll"] = m().systemLibraries["psapi.dll"];
  m().systemLibraries.erase("psapi.dll");
  EXPECT_EQ(RUN_SCAN_FAILED, RunUpgrade());
  ExpectUntouched("planted psapi.dll only");
  EXPECT_EQ(0, m().LoadedLibraryCount());
  ExpectCleanExit();

  // On 98/ME toolhelp is bound from KERNEL32 by its bare name: the process's
  // own, never a kernel32.dll planted beside the tool.
  Ready(kWin98);
  m().besideToolLibraries["kernel32.dll"] = sim::Library();
  m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ(1u, Notices()) << "planted kernel32.dll";
  EXPECT_EQ(0, m().LoadedLibraryCount());
  ExpectCleanExit();
}

// On 98/ME a toolhelp that cannot be bound only skips the notice.
TEST_F(NoticeTest, IncompleteToolhelpSkipsTheNoticeAndReplacesAnyway) {
  const char *missing[] = {"Module32Next", "Module32First", "Process32Next", "Process32First",
                           "CreateToolhelp32Snapshot", ""};
  for (const Family *family : {&kWin98, &kWinMe}) {
    for (const char *entry : missing) {
      Ready(*family);
      std::string label = std::string(family->name) + ", without " + (*entry ? entry : "KERNEL32.dll");
      if (*entry)
        m().systemLibraries["kernel32.dll"].exports.erase(entry);
      else
        m().systemLibraries.erase("kernel32.dll");
      m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
      AddStub();
      EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << label;
      EXPECT_TRUE(m().CallsNamed("CreateToolhelp32Snapshot").empty()) << label;
      EXPECT_EQ(0u, Notices()) << label;
      ExpectReplaced(label);
      EXPECT_EQ(1u, m().launches.size()) << label;
      EXPECT_EQ(0, m().LoadedLibraryCount()) << label;
      ExpectCleanExit();
    }
  }
}

TEST_F(NoticeTest, SnapshotIsTakenWholeAndClosed) {
  Ready(kWin98);
  m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  auto snapshots = m().CallsNamed("CreateToolhelp32Snapshot");
  ASSERT_EQ(1u, snapshots.size());
  EXPECT_EQ("15", snapshots[0]->args[0]);
  EXPECT_EQ("0", snapshots[0]->args[1]);
  for (const char *walk : {"Process32First", "Process32Next"})
    for (const sim::Call *call : m().CallsNamed(walk))
      EXPECT_EQ(std::to_string(sizeof(PROCESSENTRY32)), call->args[0]) << walk << " record size";
  EXPECT_EQ(1u, Notices());
  ExpectCleanExit();

  // A snapshot that cannot be taken ends the walk; its handle is not closed.
  Ready(kWinMe);
  m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
  AddStub();
  m().faults.operation = "CreateToolhelp32Snapshot";
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ(0u, Notices());
  ExpectReplaced("snapshot refused");
  ExpectCleanExit();
}

// The process library is taken only on the replacement course, and given
// back on it and on the failed process list.
TEST_F(NoticeTest, ProcessLibraryIsHeldOnlyForTheReplacement) {
  struct Course {
    const char *label;
    const char *installed;  // nullptr: nothing installed
    const char *staged;     // nullptr: nothing staged
  };
  const Course others[] = {{"nothing staged", "4.50", nullptr},
                           {"fresh install", nullptr, "4.60"},
                           {"same version", "4.50", "4.50"},
                           {"old version", "4.30", "4.60"}};
  for (const Family *family : {&kWinXp, &kWin98}) {
    const std::string library = family->expected == PLATFORM_NT5 ? "psapi.dll" : "kernel32.dll";
    for (const Course &c : others) {
      SetUp();
      UseFamily(*family);
      if (c.installed) Install(c.installed);
      if (c.staged) Stage(c.staged);
      RunUpgrade();
      std::string label = std::string(family->name) + ", " + c.label;
      EXPECT_EQ(0u, LoadsOf(library)) << label;
      EXPECT_EQ(0, m().LoadedLibraryCount()) << label;
    }
    Ready(*family);
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << family->name;
    EXPECT_EQ(1u, LoadsOf(library)) << family->name;
    // Released after the completion step, the last thing the run does.
    ASSERT_FALSE(m().calls.empty());
    EXPECT_EQ("FreeLibrary", m().calls.back().name) << family->name;
    EXPECT_EQ(0, m().LoadedLibraryCount()) << family->name;
  }
}

// What the resident does with the notice decides whether its files can go now.
TEST_F(NoticeTest, ResidentThatExitsOnTheNoticeLetsTheFilesGo) {
  for (const Family *family : {&kWinXp, &kWin98}) {
    Ready(*family);
    const std::string exe = Sys("halunexe.exe"), dll = Sys("halundll.dll");
    m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
    m().LockFile(exe, sim::kForever);
    m().LockFile(dll, sim::kForever);
    m().AddWindow(STUB_WINDOW_CLASS, [exe, dll](UINT message, WPARAM, LPARAM) -> LRESULT {
      if (message != NOTICE_MESSAGE) return 0;
      auto &processes = sim::M().processes;
      processes.erase(std::remove_if(processes.begin(), processes.end(),
                                     [](const sim::Process &p) { return p.id == kResidentId; }),
                      processes.end());
      sim::M().FindFile(exe)->lockedUntil = 0;
      sim::M().FindFile(dll)->lockedUntil = 0;
      return 0;
    });
    EXPECT_EQ(RUN_REPLACED, RunUpgrade()) << family->name;
    EXPECT_EQ(1u, Notices()) << family->name;
    ExpectReplaced(family->name);
    EXPECT_EQ(std::vector<DWORD>{1000}, m().sleeps) << family->name;
    EXPECT_EQ(1u, m().launches.size()) << family->name;
    EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$"))) << family->name;
    EXPECT_FALSE(m().HasFile(Sys("halundll.dl$"))) << family->name;
    ExpectCleanExit();
  }
}

TEST_F(NoticeTest, ResidentThatIgnoresTheNoticeLeavesTheLibraryForTheRestart) {
  for (const Family *family : {&kWinXp, &kWin98}) {
    Ready(*family);
    m().AddProcess(kResidentId, ResidentInSystemDir(), "halunexe.exe");
    m().LockFile(Sys("halundll.dll"), sim::kForever);
    AddStub();
    EXPECT_EQ(RUN_RESTART_NEEDED, RunUpgrade()) << family->name;
    EXPECT_EQ(1u, Notices()) << family->name;
    EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << family->name;
    EXPECT_EQ("old dll", m().FileBytes(Sys("halundll.dll"))) << family->name;
    EXPECT_EQ(10u, m().sleeps.size()) << family->name << ": every attempt made";
    EXPECT_TRUE(m().launches.empty()) << family->name;
    EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$"))) << family->name;
    EXPECT_TRUE(m().HasFile(Sys("halundll.dl$"))) << family->name << ": kept for the restart";
    // The library is replaced at the next restart.
    m().Restart();
    EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << family->name << " after the restart";
    EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << family->name << " after the restart";
    ExpectCleanExit();
  }
}

// Copies of the resident in the system directory, ids 1200, 1204, ...; the
// installed executable is in use until the last of them has ended. Each copy
// ends `endsAfterMs[i]` after its notice has been handled (sim::kForever:
// it stays); the stub window handles a notice in `handlingMs`.
void AddCopies(const std::vector<uint64_t> &endsAfterMs, uint64_t handlingMs = 0,
               bool hung = false) {
  sim::Machine &m = sim::M();
  const std::string exe = m.systemDir + "\\halunexe.exe";
  for (size_t i = 0; i < endsAfterMs.size(); ++i)
    m.AddProcess(kResidentId + 4 * static_cast<DWORD>(i), m.systemDir + "\\HALUNEXE.EXE",
                 "HALUNEXE.EXE");
  if (!endsAfterMs.empty()) m.LockFile(exe, sim::kForever);
  auto answered = std::make_shared<size_t>(0);
  sim::Window &window = m.AddWindow(STUB_WINDOW_CLASS, [=](UINT message, WPARAM, LPARAM) -> LRESULT {
    if (message != NOTICE_MESSAGE || *answered >= endsAfterMs.size()) return 0;
    sim::Machine &machine = sim::M();
    uint64_t after = endsAfterMs[(*answered)++];
    machine.processes[*answered - 1].endsAtMs =
        after == sim::kForever ? sim::kForever : machine.nowMs + after;
    uint64_t last = 0;
    for (const sim::Process &process : machine.processes) last = std::max(last, process.endsAtMs);
    machine.FindFile(exe)->lockedUntil = last;
    return 0;
  });
  window.handlingMs = handlingMs;
  window.hung = hung;
}

// A copy that answers the notice may still be ending, its executable in use,
// when the run goes on: the run waits for every copy it notified to end, at
// most 5 s for all of them together, before the executable is deleted. A copy
// still running then is one that stays.
TEST_F(NoticeTest, NotifiedCopiesAreWaitedForAtMostFiveSecondsInAll) {
  struct Row {
    const char *label;
    std::vector<uint64_t> endsAfterMs;
    DWORD tickBase;
    RunStatus expected;
    long long exeDeletedAtMs;
  };
  const uint64_t kStays = sim::kForever;
  const Row rows[] = {
      {"no running copy", {}, 0, RUN_REPLACED, 0},
      {"ends as it answers", {0}, 0, RUN_REPLACED, 0},
      {"ends 700 ms after answering", {700}, 0, RUN_REPLACED, 700},
      {"ends at the limit", {5000}, 0, RUN_REPLACED, 5000},
      {"ends 1 ms after the limit", {5001}, 0, RUN_RESTART_NEEDED, 5000},
      {"stays", {kStays}, 0, RUN_RESTART_NEEDED, 5000},
      {"two copies ending within the limit", {3000, 4000}, 0, RUN_REPLACED, 4000},
      {"two copies, the second too late", {3000, 7000}, 0, RUN_RESTART_NEEDED, 5000},
      // 3 s into the wait the tick count passes 0xFFFFFFFF: the second copy
      // still gets only the 2 s left.
      {"tick count wrapping during the wait", {3000, kStays}, 0xFFFFFFFFu - 1000, RUN_RESTART_NEEDED,
       5000},
  };
  for (const Family *family : {&kWinXp, &kWin98}) {
    for (const Row &row : rows) {
      Ready(*family);
      m().tickBase = row.tickBase;
      AddCopies(row.endsAfterMs);
      const std::string label = std::string(family->name) + ", " + row.label;
      EXPECT_EQ(row.expected, RunUpgrade()) << label;
      EXPECT_EQ(row.endsAfterMs.size(), Notices()) << label;
      EXPECT_EQ(row.endsAfterMs.size(), WaitedIds().size()) << label << ": copies opened for the wait";
      EXPECT_EQ(row.endsAfterMs.size(), m().CallsNamed("WaitForSingleObject").size()) << label;
      if (row.endsAfterMs.empty()) {
        EXPECT_TRUE(m().CallsNamed("GetTickCount").empty()) << label << ": nothing to wait for";
      }
      for (const sim::Call *call : m().CallsNamed("WaitForSingleObject")) {
        EXPECT_GE(5000, std::stoll(call->args[1])) << label << ": limit of one wait";
      }
      EXPECT_EQ(row.exeDeletedAtMs, DeletedAt(Sys("halunexe.exe"))) << label;
      EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << label;
      if (row.expected == RUN_REPLACED) {
        ExpectReplaced(label);
        EXPECT_EQ(1u, m().launches.size()) << label;
      } else {
        EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << label;
        EXPECT_TRUE(m().HasFile(Sys("halunexe.ex$"))) << label << ": kept for the restart";
        EXPECT_TRUE(m().launches.empty()) << label;
      }
      ExpectCleanExit();
      m().Restart();
      ExpectReplaced(label + ", after the restart");
    }
  }
}

// The notice is sent with SendMessageTimeoutA, SMTO_BLOCK | SMTO_ABORTIFHUNG
// and 30 s per window: a copy that never handles it, or is hung, cannot hold
// the run (and the setup waiting for it) up. The run goes on; such a copy
// stays, its executable is left to the restart and the free library is
// replaced now. A copy that handles the notice in time and ends is replaced
// as before.
TEST_F(NoticeTest, HungOrSlowCopyCannotHoldTheRunUp) {
  struct Row {
    const char *label;
    size_t copies;
    uint64_t handlingMs;
    bool hung;
    size_t delivered;  // notices the window received
    RunStatus expected;
    long long exeDeletedAtMs;
  };
  const uint64_t kNever = sim::kForever;
  const Row rows[] = {
      {"answers at once", 1, 0, false, 1, RUN_REPLACED, 0},
      {"answers after 29 s", 1, 29000, false, 1, RUN_REPLACED, 29000},
      {"answers after exactly 30 s", 1, 30000, false, 1, RUN_REPLACED, 30000},
      {"would answer after 31 s", 1, 31000, false, 1, RUN_RESTART_NEEDED, 30000 + 5000},
      {"never returns", 1, kNever, false, 1, RUN_RESTART_NEEDED, 30000 + 5000},
      {"already not responding", 1, kNever, true, 0, RUN_RESTART_NEEDED, 5000},
      // The second notice finds the window not responding and returns at once.
      {"two copies, never returns", 2, kNever, false, 1, RUN_RESTART_NEEDED, 30000 + 5000},
  };
  for (const Family *family : {&kWinXp, &kWin98}) {
    for (const Row &row : rows) {
      Ready(*family);
      // A copy that handles the notice ends as it answers.
      AddCopies(std::vector<uint64_t>(row.copies, 0), row.handlingMs, row.hung);
      const std::string label = std::string(family->name) + ", " + row.label;
      EXPECT_EQ(row.expected, RunUpgrade()) << label;
      auto sends = m().CallsNamed("SendMessageTimeoutA");
      EXPECT_EQ(row.copies, sends.size()) << label;
      for (const sim::Call *send : sends) {
        EXPECT_EQ("0x3", send->args[4]) << label;
        EXPECT_EQ("30000", send->args[5]) << label;
      }
      EXPECT_EQ(row.delivered, Notices()) << label;
      EXPECT_EQ(row.exeDeletedAtMs, DeletedAt(Sys("halunexe.exe"))) << label;
      EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << label << ": replaced now";
      if (row.expected == RUN_REPLACED) {
        ExpectReplaced(label);
        EXPECT_EQ(1u, m().launches.size()) << label;
      } else {
        EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << label;
        EXPECT_TRUE(m().HasFile(Sys("halunexe.ex$"))) << label;
        EXPECT_FALSE(m().HasFile(Sys("halundll.dl$"))) << label;
        EXPECT_TRUE(m().launches.empty()) << label;
      }
      EXPECT_EQ(std::string("Complete\0", 9), MarkerText()) << label;
      ExpectCleanExit();
      m().Restart();
      ExpectReplaced(label + ", after the restart");
    }
  }
}

}  // namespace
