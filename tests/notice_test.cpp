// The running-instance notice: which running copies are found on each
// family, what is sent to the stub window, and what the run does when the
// process functions cannot be bound or the resident holds on to its files.
#include "notice/notice.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const DWORD kResidentId = 1200;
const DWORD kQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE;

// A number argument of a logged call, as the call received it.
DWORD Arg(const sim::Call *call, size_t i) {
  return static_cast<DWORD>(std::stoul(call->args[i], nullptr, 0));
}
// That argument of every logged call of `name`, in order.
std::vector<DWORD> Args(const char *name, size_t i) {
  std::vector<DWORD> args;
  for (const sim::Call *call : sim::M().CallsNamed(name)) args.push_back(Arg(call, i));
  return args;
}

// 4.50 installed and 4.60 staged on the row's family, the marker key present.
template <class Case>
class NoticeTest : public RowTest<Case> {
 protected:
  void SetUp() override {
    RowTest<Case>::SetUp();
    Install("4.50");
    Stage("4.60");
  }
  std::string Resident() const { return sim::M().systemDir + "\\HALUNEXE.EXE"; }
  void AddResident(const std::string &path, DWORD id = kResidentId) {
    this->m().AddProcess(id, path, "halunexe.exe");
  }
  void AddStub() { this->m().AddWindow(STUB_WINDOW_CLASS); }
  // Identifiers of the processes opened with `access`.
  std::vector<DWORD> Opened(DWORD access) {
    std::vector<DWORD> ids;
    for (const sim::Call *call : this->m().CallsNamed("OpenProcess"))
      if (Arg(call, 0) == access) ids.push_back(Arg(call, 2));
    return ids;
  }
  // The virtual time of the first deletion of the installed executable, or -1.
  long long ExeDeletedAt() {
    for (const sim::Call *call : this->m().CallsNamed("DeleteFileA"))
      if (call->args[0] == sim::Fold(Sys("halunexe.exe")))
        return static_cast<long long>(call->atMs);
    return -1;
  }
  // Runs the tool, which replaces the pair and sends `notices` notices.
  void ExpectReplaced(size_t notices) {
    MachineState expected = this->RunExpecting(RUN_REPLACED);
    expected.notices.assign(notices, NOTICE_MESSAGE);
    EXPECT_EQ(expected, Snapshot());
  }
};

// The stub window is looked up anew for each copy found; without one nothing
// is sent and nothing waited for. Copies past what can be waited for are
// still told; the process list of NT 5 shows no more than it holds. A copy
// started from another directory: NT 5 matches the main module's base name
// wherever it lies, 98/ME only the installed executable's full path; the
// other families look for nothing. (A copy started from the installed path
// is covered with the courses of a run.)
struct CopiesCase {
  const char *label;
  bool stub;
  size_t copies;
  const char *dir = nullptr;  // where the copies run from; nullptr: the system directory
};
const CopiesCase kCopies[] = {{"no stub window", false, 1},
                              {"two copies", true, 2},
                              {"more copies than are waited for", true, NOTICED_COPY_CAPACITY + 1},
                              {"a copy from another directory", true, 1, "C:\\TOOLS"}};
using CopiesTest = NoticeTest<CopiesCase>;
TEST_P(CopiesTest, EachCopyFoundIsNotifiedThroughItsStubWindow) {
  const std::string path = C().dir ? C().dir + std::string("\\HALUNEXE.EXE") : Resident();
  AddResident(path);
  m().AddProcess(8, "C:\\WINDOWS\\EXPLORER.EXE", "explorer.exe");
  for (DWORD i = 1; i < C().copies; ++i)
    m().AddProcess(kResidentId + 4 * i, sim::Fold(path), "HalunExe.exe");
  m().AddWindow(C().stub ? STUB_WINDOW_CLASS : "SOME_OTHER_CLASS");
  // The process list holds the first copy, the other program, then the rest.
  const Notice notice = F().shared.notice;
  const size_t listed = notice == Notice::ProcessList
                            ? std::min(C().copies, (size_t)PROCESS_ID_CAPACITY - 1)
                            : C().copies;
  const bool found = notice == Notice::ProcessList || (notice == Notice::Snapshot && !C().dir);
  const size_t notified = C().stub && found ? listed : 0;
  const size_t waited = std::min(notified, (size_t)NOTICED_COPY_CAPACITY);
  ExpectReplaced(notified);
  EXPECT_EQ(found ? listed : 0, Count("FindWindowA"));
  EXPECT_EQ(waited, Count("WaitForSingleObject"));
  EXPECT_EQ(waited, Opened(SYNCHRONIZE).size()) << "copies opened for the wait";
}
INSTANTIATE_TEST_SUITE_P(Families, CopiesTest, Rows(AllFamilies(), kCopies), RowName());

// A process that cannot be opened or read keeps the name "unknown" and never
// matches, whatever its main module is called. A name too long for its
// field comes back unended: it is read no further than the field (under
// ASan) and matches nothing. NT 5 opens the idle process (identifier 0) like
// any other, and the open fails; 98/ME passes an entry with identifier 0 over
// even when its path is the installed executable's. The walk goes on to the
// next entry: a resident that follows is notified.
struct UnmatchedCase {
  const char *label;
  DWORD id;
  bool openable, modulesReadable;
  const char *operation;
  size_t nameTail;  // characters after the resident's name
  bool residentFollows = false;
};
const UnmatchedCase kUnreadable[] = {
    {"not openable", kResidentId, false, true, "", 0},
    {"modules unreadable", kResidentId, true, false, "", 0},
    {"base name not returned", kResidentId, true, true, "GetModuleBaseNameA", 0},
};
const UnmatchedCase kOnEitherWalk[] = {
    {"name unended", kResidentId, true, true, "", 300},
    {"identifier 0 alone", 0, false, true, "", 0},
    {"identifier 0, then the resident", 0, false, true, "", 0, true},
};
using UnmatchedTest = NoticeTest<UnmatchedCase>;
TEST_P(UnmatchedTest, UnreadableProcessesAndIdentifierZeroNeverMatch) {
  const std::string tail(C().nameTail, 'x');
  sim::Process &copy = m().AddProcess(C().id, Resident() + tail, "halunexe.exe" + tail);
  copy.openable = C().openable;
  copy.modulesReadable = C().modulesReadable;
  m().faults.operation = C().operation;
  if (C().residentFollows) AddResident(Resident());
  AddStub();
  ExpectReplaced(C().residentFollows ? 1 : 0);
  if (F().shared.notice != Notice::ProcessList) {
    EXPECT_EQ(std::vector<DWORD>{}, Opened(kQueryAccess)) << "the snapshot walk opens no process";
    return;
  }
  std::vector<DWORD> opened = {C().id};
  if (C().residentFollows) opened.push_back(kResidentId);
  EXPECT_EQ(opened, Opened(kQueryAccess));
  EXPECT_EQ((C().openable ? 1u : 0u) + C().residentFollows, Count("EnumProcessModules"));
  if (!C().modulesReadable) {
    EXPECT_EQ(0u, Count("GetModuleBaseNameA"));
  }
}
INSTANTIATE_TEST_SUITE_P(Nt5, UnmatchedTest, Rows({First(Where::ProcessList)}, kUnreadable),
                         RowName());
INSTANTIATE_TEST_SUITE_P(Rows, UnmatchedTest, Rows(OnePerNotice(), kOnEitherWalk), RowName());

// The process list holds 1024 identifiers; a copy past them is not seen.
struct ListCase {
  const char *label;
  size_t residentAt, notices;
};
const ListCase kList[] = {{"at 1023", 1023, 1}, {"at 1024", 1024, 0}, {"at 1099", 1099, 0}};
using ListTest = NoticeTest<ListCase>;
TEST_P(ListTest, OnlyTheFirst1024ProcessesAreExamined) {
  for (size_t i = 0; i < 1100; ++i)
    if (i == C().residentAt)
      AddResident(Resident(), static_cast<DWORD>(8 + 4 * i));
    else
      m().AddProcess(static_cast<DWORD>(8 + 4 * i), "C:\\APP.EXE", "app.exe");
  AddStub();
  ExpectReplaced(C().notices);
  EXPECT_EQ(std::vector<DWORD>{1024 * sizeof(DWORD)}, Args("EnumProcesses", 0));
  EXPECT_EQ(1024u, Opened(kQueryAccess).size());
}
INSTANTIATE_TEST_SUITE_P(Rows, ListTest, Rows({First(Where::ProcessList)}, kList), RowName());

// Process functions that cannot be had: on NT 5 the running copies must be
// listed before anything is replaced, so the run ends with -1 (a psapi.dll
// planted beside the tool is never used instead); on 98/ME a toolhelp that
// cannot be bound, or a snapshot that cannot be taken, only skips the notice.
struct UnusableCase {
  const char *label;
  Step arrange;
  size_t snapshots = 0;  // calls of CreateToolhelp32Snapshot
};
const UnusableCase kUnusablePsapi[] = {
    {"psapi.dll missing", Unbound("psapi.dll", "")},
    {"no GetModuleBaseNameA", Unbound("psapi.dll", "GetModuleBaseNameA")},
    {"no EnumProcesses", Unbound("psapi.dll", "EnumProcesses")},
    {"no EnumProcessModules", Unbound("psapi.dll", "EnumProcessModules")},
    {"EnumProcesses fails", Failing("EnumProcesses")},
    {"psapi.dll only beside the tool",
     Steps({[] { sim::M().PlaceBesideTool("psapi.dll", sim::M().SystemLibrary("psapi.dll")); },
            Unbound("psapi.dll", "")})},
};
const UnusableCase kUnusableToolhelp[] = {
    {"no Module32Next", Unbound("kernel32.dll", "Module32Next")},
    {"no Module32First", Unbound("kernel32.dll", "Module32First")},
    {"no Process32Next", Unbound("kernel32.dll", "Process32Next")},
    {"no Process32First", Unbound("kernel32.dll", "Process32First")},
    {"no CreateToolhelp32Snapshot", Unbound("kernel32.dll", "CreateToolhelp32Snapshot")},
    {"no KERNEL32", Unbound("kernel32.dll", "")},
    {"snapshot refused", Failing("CreateToolhelp32Snapshot"), 1},
};
using UnusableTest = NoticeTest<UnusableCase>;
TEST_P(UnusableTest, UnusableProcessFunctionsEndTheRunOnNt5AndSkipTheNoticeOn98Me) {
  C().arrange();
  AddResident(Resident());
  AddStub();
  ExpectRun(F().shared.notice == Notice::ProcessList ? RUN_SCAN_FAILED : RUN_REPLACED);
  EXPECT_EQ(0u, Count("OpenProcess"));
  EXPECT_EQ(C().snapshots, Count("CreateToolhelp32Snapshot"));
}
INSTANTIATE_TEST_SUITE_P(Nt5, UnusableTest,
                         Rows(Families(Where::ProcessList, Where::Bits32), kUnusablePsapi),
                         RowName());
INSTANTIATE_TEST_SUITE_P(Snapshot, UnusableTest, Rows(Families(Where::Snapshot), kUnusableToolhelp),
                         RowName());

// The process libraries are loaded from the system directory by full path
// (a psapi.dll planted beside the tool lacks every function), and toolhelp
// is bound from KERNEL32 by its bare name: the process's own, never a
// kernel32.dll planted beside the tool. NT 5 opens each process for query,
// read and terminate and reads its main module only; 98/ME takes the
// snapshot whole and closes it.
using WalkTest = NoticeTest<NoCase>;
TEST_P(WalkTest, ProcessLibrariesComeFromTheSystemOnlyAndAreAskedForWhatTheWalkNeeds) {
  const bool nt5 = F().shared.notice == Notice::ProcessList;
  m().PlaceBesideTool("psapi.dll", sim::Library());
  m().PlaceBesideTool("kernel32.dll", sim::Library());
  AddResident(nt5 ? "C:\\TOOLS\\HALUNEXE.EXE" : Resident());
  AddStub();
  ExpectReplaced(1);
  std::vector<std::string> loads;
  for (const sim::Call *call : m().CallsNamed("LoadLibraryA")) loads.push_back(call->args[0]);
  // The token's user before the relaunch, from ADVAPI32, mapped already.
  EXPECT_EQ((std::vector<std::string>{m().systemDir + "\\version.dll",
                                      nt5 ? m().systemDir + "\\psapi.dll" : "KERNEL32.dll",
                                      "ADVAPI32.dll"}),
            loads);
  if (!nt5) {
    EXPECT_EQ(std::vector<DWORD>{TH32CS_SNAPALL}, Args("CreateToolhelp32Snapshot", 0));
    EXPECT_EQ(std::vector<DWORD>{0}, Args("CreateToolhelp32Snapshot", 1));
    for (const char *walk : {"Process32First", "Process32Next"})
      EXPECT_EQ(std::vector<DWORD>(Count(walk), sizeof(PROCESSENTRY32)), Args(walk, 0)) << walk;
    return;
  }
  // The copy that matched is opened again, only to wait for its end, before
  // the notice; neither handle is inheritable.
  ASSERT_EQ((std::vector<DWORD>{kQueryAccess, SYNCHRONIZE}), Args("OpenProcess", 0));
  EXPECT_EQ((std::vector<DWORD>{0, 0}), Args("OpenProcess", 1));
  EXPECT_EQ(kResidentId, Args("OpenProcess", 2).back());
  EXPECT_LT(m().CallsNamed("OpenProcess").back(), m().CallsNamed("SendMessageTimeoutA")[0])
      << "opened for the wait before the notice";
  EXPECT_EQ(std::vector<DWORD>{sizeof(HMODULE)}, Args("EnumProcessModules", 0)) << "room for the main module only";
  EXPECT_EQ(std::vector<DWORD>{PROCESS_NAME_CAPACITY}, Args("GetModuleBaseNameA", 0));
}
INSTANTIATE_TEST_SUITE_P(Rows, WalkTest, Rows(OnePerNotice(), kNoCase), RowName());

// The process library is taken only on the replacement course, and given
// back after the completion step, the last thing the run does.
struct HeldCase {
  const char *label, *installed, *staged;  // nullptr: none
};
const HeldCase kHeld[] = {{"nothing staged", "4.50", nullptr},
                          {"fresh install", nullptr, "4.60"},
                          {"same version", "4.50", "4.50"},
                          {"old version", "4.30", "4.60"},
                          {"replacement", "4.50", "4.60"}};
using HeldTest = RowTest<HeldCase>;  // only the case's files on the machine
TEST_P(HeldTest, ProcessLibraryIsHeldOnlyForTheReplacement) {
  if (C().installed) Install(C().installed);
  if (C().staged) Stage(C().staged);
  RunUpgrade();
  const bool replaces = std::string(C().label) == "replacement";
  const std::string library = F().expected == PLATFORM_NT5 ? "psapi.dll" : "kernel32.dll";
  size_t loads = 0;
  for (const sim::Call *call : m().CallsNamed("LoadLibraryA"))
    loads += sim::BaseNameOf(sim::Fold(call->args[0])) == library;
  EXPECT_EQ(replaces ? 1u : 0u, loads) << "loads of " << library;
  EXPECT_EQ(0, m().LoadedLibraryCount());
  if (replaces) {
    EXPECT_EQ("FreeLibrary", m().Calls().back().name);
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, HeldTest, Rows(OnePerNotice(), kHeld), RowName());

// What the copies of the resident hold while they run.
enum class Holds { Executable, Both, Library };

// What the copies do with the notice decides whether their files can go now.
// A copy that answers may still be ending, its executable in use, when the
// run goes on: the run waits for every copy it notified to end, at most 5 s
// for all of them together, before the executable is deleted; a copy still
// running then is one that stays. The notice goes out with SMTO_BLOCK |
// SMTO_ABORTIFHUNG and 30 s per window: a copy that never handles it, or is
// hung, cannot hold the run (and the setup waiting for it) up; its
// executable is left to the restart and the free library replaced now.
const uint64_t kStays = sim::kForever;
struct AnswerCase {
  const char *label;
  std::vector<uint64_t> endsAfterMs;
  uint64_t handlingMs;
  size_t delivered;  // notices the windows received
  RunStatus expected;
  long long exeDeletedAtMs;
  Holds holds = Holds::Executable;
  bool hung = false;
  DWORD tickBase = 0;
};
// One row a line, as a table reads.
// clang-format off
const AnswerCase kAnswers[] = {
    {"no running copy", {}, 0, 0, RUN_REPLACED, 0},
    {"ends as it answers", {0}, 0, 1, RUN_REPLACED, 0},
    {"ends as it answers, letting its library go", {0}, 0, 1, RUN_REPLACED, 0, Holds::Both},
    {"ignores it, holding only its library", {kStays}, 0, 1, RUN_RESTART_NEEDED, 5000,
     Holds::Library},
    {"ends 700 ms after answering", {700}, 0, 1, RUN_REPLACED, 700},
    {"ends at the limit", {5000}, 0, 1, RUN_REPLACED, 5000},
    {"ends 1 ms after the limit", {5001}, 0, 1, RUN_RESTART_NEEDED, 5000},
    {"stays", {kStays}, 0, 1, RUN_RESTART_NEEDED, 5000},
    {"two copies ending within the limit", {3000, 4000}, 0, 2, RUN_REPLACED, 4000},
    {"two copies, the second too late", {3000, 7000}, 0, 2, RUN_RESTART_NEEDED, 5000},
    // 3 s into the wait the tick count passes 0xFFFFFFFF: the second copy
    // still gets only the 2 s left.
    {"tick count wrapping during the wait", {3000, kStays}, 0, 2, RUN_RESTART_NEEDED, 5000,
     Holds::Executable, false, 0xFFFFFFFFu - 1000},
    {"answers after 29 s", {0}, 29000, 1, RUN_REPLACED, 29000},
    {"answers after exactly 30 s", {0}, 30000, 1, RUN_REPLACED, 30000},
    {"would answer after 31 s", {0}, 31000, 1, RUN_RESTART_NEEDED, 30000 + 5000},
    {"never returns", {0}, kStays, 1, RUN_RESTART_NEEDED, 30000 + 5000},
    {"already not responding", {0}, kStays, 0, RUN_RESTART_NEEDED, 5000, Holds::Executable, true},
    // The second notice finds the window not responding and returns at once.
    {"two copies, never returns", {0, 0}, kStays, 1, RUN_RESTART_NEEDED, 30000 + 5000},
};
// clang-format on
// Copies of the resident in the system directory, ids 1200, 1204, ...; the
// installed executable is in use until the last of them has ended, the
// library (when held) until the first has. Each copy ends `endsAfterMs[i]`
// after its notice has been handled (sim::kForever: it stays); the stub
// window handles a notice in `handlingMs`, or is hung.
void AddCopies(const AnswerCase &c) {
  sim::Machine &m = sim::M();
  const std::string exe = m.systemDir + "\\halunexe.exe", dll = m.systemDir + "\\halundll.dll";
  for (size_t i = 0; i < c.endsAfterMs.size(); ++i)
    m.AddProcess(kResidentId + 4 * static_cast<DWORD>(i), m.systemDir + "\\HALUNEXE.EXE",
                 "HALUNEXE.EXE");
  const bool holdsExe = c.holds != Holds::Library && !c.endsAfterMs.empty(),
             holdsDll = c.holds != Holds::Executable;
  if (holdsExe) m.LockFile(exe, sim::kForever);
  if (holdsDll) m.LockFile(dll, sim::kForever);
  auto answered = std::make_shared<size_t>(0);
  sim::Window &window =
      m.AddWindow(STUB_WINDOW_CLASS, [=](UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message != NOTICE_MESSAGE || *answered >= c.endsAfterMs.size()) return 0;
        sim::Machine &machine = sim::M();
        uint64_t after = c.endsAfterMs[(*answered)++];
        machine.FindProcess(kResidentId + 4 * static_cast<DWORD>(*answered - 1))->endsAtMs =
            after == sim::kForever ? sim::kForever : machine.nowMs + after;
        uint64_t last = 0;
        for (const sim::Process &process : machine.Processes())
          last = std::max(last, process.endsAtMs);
        if (holdsExe) machine.FindFile(exe)->lockedUntil = last;
        if (holdsDll) machine.FindFile(dll)->lockedUntil = machine.Processes()[0].endsAtMs;
        return 0;
      });
  window.handlingMs = c.handlingMs;
  window.hung = c.hung;
}

using AnswerTest = NoticeTest<AnswerCase>;
TEST_P(AnswerTest, WhatTheCopiesDoWithTheNoticeDecidesWhatIsReplacedNow) {
  const AnswerCase &c = C();
  m().tickBase = c.tickBase;
  AddCopies(c);
  MachineState expected = RunExpecting(c.expected);
  const bool replaced = c.expected == RUN_REPLACED;
  const bool exeNow = replaced || c.holds == Holds::Library,
             dllNow = replaced || c.holds == Holds::Executable;
  // Left to the restart, the file the copies do not hold is in place now.
  if (!replaced) expected.InPlace(exeNow, dllNow);
  expected.notices.assign(c.delivered, NOTICE_MESSAGE);
  if (!exeNow) Schedule(expected, {"halunexe.exe"});
  if (!dllNow) Schedule(expected, {"halundll.dll"});
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(dllNow ? 1u : (size_t)LIBRARY_DELETE_ATTEMPTS, m().Sleeps().size());
  const size_t copies = c.endsAfterMs.size();
  EXPECT_EQ(std::vector<DWORD>(copies, SMTO_BLOCK | SMTO_ABORTIFHUNG), Args("SendMessageTimeoutA", 4));
  EXPECT_EQ(std::vector<DWORD>(copies, NOTICE_TIMEOUT_MS), Args("SendMessageTimeoutA", 5));
  if (c.handlingMs == 0) {
    EXPECT_EQ(copies, Opened(SYNCHRONIZE).size()) << "copies opened for the wait";
    EXPECT_EQ(copies, Count("WaitForSingleObject"));
    for (const sim::Call *wait : m().CallsNamed("WaitForSingleObject"))
      EXPECT_GE((DWORD)NOTICE_WAIT_MS, Arg(wait, 1)) << "limit of one wait";
    if (copies == 0) {
      EXPECT_EQ(0u, Count("GetTickCount")) << "nothing to wait for";
    }
  }
  EXPECT_EQ(c.exeDeletedAtMs, ExeDeletedAt());
  RestartAndExpect(true);
}
INSTANTIATE_TEST_SUITE_P(Rows, AnswerTest, Rows(OnePerNotice(), kAnswers), RowName());

}  // namespace
