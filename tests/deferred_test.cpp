// Replacement at the next restart: the [Rename] section of wininit.ini on
// Windows 98/ME (fresh and merged into an existing file), delayed moves on
// NT 5 and later, nothing elsewhere.
#include <functional>
#include <string>

#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

// The rename line that puts the staged copy of `name` in `dir` in its place.
std::string RenameLine(const std::string &dir, const std::string &name) {
  return dir + "\\" + name + " = " + dir + "\\" + name.substr(0, name.size() - 1) + "$\r\n";
}
const std::string kSection = "[Rename]\r\n";
const std::string kLibLine = RenameLine("C:\\WINDOWS\\SYSTEM", "halundll.dll"),
                  kExeLine = RenameLine("C:\\WINDOWS\\SYSTEM", "halunexe.exe");
// A directory of `length` characters on drive C.
std::string Dir(size_t length, char fill = 'S') { return "C:\\" + std::string(length - 3, fill); }
const std::string kZero(1, '\0');
const std::string kBoot = "[boot]\r\nshell=Explorer.exe\r\n";
const DWORD kReplacing = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";

template <class Case>
class DeferredTest : public RowTest<Case> {
 protected:
  std::string Wininit() const { return sim::M().windowsDir + "\\wininit.ini"; }
  Bytes WininitBytes() { return Snapshot().wininit; }
};
// The rename file holds `text`; when `locked`, another program holds it open.
Step InRenameFile(const std::string &text, bool locked = false) {
  return [text, locked] {
    sim::M().PutFile(sim::M().windowsDir + "\\wininit.ini", text);
    if (locked) sim::M().LockFile(sim::M().windowsDir + "\\wininit.ini", sim::kForever);
  };
}

// ---------------------------------------------------------------- wininit.ini

// What is scheduled for each pending set: rename lines in wininit.ini on
// Windows 98/ME, delayed moves on NT 5 and later (library first, with the
// folded paths), and elsewhere nothing, not even a call. A file whose staged
// copy is missing cannot be put in place at the restart: it is not scheduled,
// and with nothing left to schedule no rename file is created or changed and
// no move is registered. The result says what was. Each case runs without a
// rename file and beside an existing one.
struct ScheduleCase {
  const char *label;
  PendingSet pending, scheduled;
  std::initializer_list<const char *> names;  // the files scheduled, in order
  const char *absent = nullptr;               // a staged copy removed first
};
const ScheduleCase kSchedules[] = {
    {"nothing", 0, 0, {}},
    {"library", PENDING_LIBRARY, PENDING_LIBRARY, {"halundll.dll"}},
    {"executable", PENDING_EXECUTABLE, PENDING_EXECUTABLE, {"halunexe.exe"}},
    {"both", PENDING_BOTH, PENDING_BOTH, {"halundll.dll", "halunexe.exe"}},
    {"bit 2 alone", 4, 0, {}},
    {"library, its staged copy missing", PENDING_LIBRARY, 0, {}, "halundll.dl$"},
    {"both, no staged library", PENDING_BOTH, PENDING_EXECUTABLE, {"halunexe.exe"}, "halundll.dl$"},
    {"both, no staged executable", PENDING_BOTH, PENDING_LIBRARY, {"halundll.dll"}, "halunexe.ex$"},
};
using ScheduleTest = DeferredTest<ScheduleCase>;
TEST_P(ScheduleTest, EachPendingSetIsScheduledAsTheFamilyDoes) {
  const bool none = F().restart == Restart::None, on98 = F().restart == Restart::Wininit;
  const bool scheduling = !none && C().names.size() != 0;
  for (bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "beside an existing rename file" : "no rename file before");
    FreshRow();
    if (F().restart == Restart::DelayedMoves) m().systemDir = "C:\\WINNT\\System32";
    Prepare();
    if (C().absent) m().RemoveFile(Sys(C().absent));
    if (existing) m().PutFile(Wininit(), kBoot);
    MachineState expected = Snapshot();
    const size_t callsBefore = m().Calls().size();
    EXPECT_EQ(none ? 0 : C().scheduled, ScheduleOnRestart(C().pending)) << "what was scheduled";
    if (scheduling) Schedule(expected, C().names);
    if (scheduling && on98 && existing) expected.wininit = kBoot + *expected.wininit;
    EXPECT_EQ(expected, Snapshot());
    EXPECT_EQ(0u, Count(on98 ? "MoveFileExA" : "CreateFileA"));
    if (on98 && !scheduling) {
      EXPECT_EQ(0u, Count("CreateFileA")) << "the rename file is not opened";
    }
    if (none) {
      EXPECT_EQ(callsBefore, m().Calls().size()) << "no platform call at all";
    }
  }
}
// An unclassified platform behaves as the others that schedule nothing.
const Family kUnclassified{"unclassified", 3, 4, 0, PLATFORM_UNKNOWN, true, kNt4.shared};
const std::vector<const Family *> kScheduleFamilies = [] {
  std::vector<const Family *> families = Families(Where::Bits32);
  families.push_back(&kUnclassified);
  return families;
}();
INSTANTIATE_TEST_SUITE_P(Rows, ScheduleTest, Rows(kScheduleFamilies, kSchedules), RowName());

// Renames on 98/ME are carried out before Windows starts, where only short
// (8.3) names exist and a line naming a long directory is skipped: the lines
// name the system directory in its short form, or as reported when that
// cannot be had. An 8.3 directory is its own short form: the lines name it
// as reported. While the tool merges the rename file, another program can
// neither read nor write it.
struct ShortFormCase {
  const char *label;
  std::string systemDir;
  std::string shortForm;  // "" : none configured (reported unchanged)
  std::string inLines;
  bool landsAtRestart;
  const char *failingCall = nullptr;
};
const std::string kLongDir = "C:\\Program Files\\Windows System",
                  kShortDir = "C:\\PROGRA~1\\WINDOW~1";
const ShortFormCase kShortForms[] = {
    {"8.3 directory", "D:\\Win98\\System", "", "D:\\Win98\\System", true},
    {"long directory", kLongDir, kShortDir, kShortDir, true},
    {"long directory, no short form to be had", kLongDir, kShortDir, kLongDir, false,
     "GetShortPathNameA"},
    {"short form as long as a system directory may be", kLongDir, Dir(242), Dir(242), true},
    {"short form longer than a system directory may be", kLongDir, Dir(243), kLongDir, false},
    {"short form longer than its buffer", kLongDir, Dir(303), kLongDir, false},
};
using ShortFormTest = DeferredTest<ShortFormCase>;
TEST_P(ShortFormTest, RenameLinesNameTheSystemDirectoryInItsShortForm) {
  const ShortFormCase &c = C();
  m().systemDir = c.systemDir;
  if (!c.shortForm.empty()) m().SetShortPath(c.systemDir, c.shortForm);
  Prepare();
  if (c.failingCall) m().faults.operation = c.failingCall;
  std::vector<std::string> refused;
  m().otherProgram = [&](const std::string &call) {
    if (call != "WriteFile") return;
    for (DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
      HANDLE other = CreateFileA(Wininit().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
      if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
      else if (GetLastError() == ERROR_SHARING_VIOLATION)
        refused.push_back(access == GENERIC_READ ? "read" : "write");
    }
  };
  EXPECT_EQ(PENDING_BOTH, ScheduleOnRestart(PENDING_BOTH));
  m().otherProgram = nullptr;
  m().faults = sim::FaultPlan();
  EXPECT_EQ((std::vector<std::string>{"read", "write"}), refused) << "openers refused";
  EXPECT_EQ(Bytes(kSection + RenameLine(c.inLines, "halundll.dll") +
                  RenameLine(c.inLines, "halunexe.exe") + kZero),
            WininitBytes());
  auto shortened = m().CallsNamed("GetShortPathNameA");
  ASSERT_EQ(1u, shortened.size());
  EXPECT_EQ(c.systemDir, shortened[0]->args[0]) << "the directory as reported";
  EXPECT_EQ(std::to_string(PATH_CAPACITY - 1), shortened[0]->args[1]) << "one byte to spare";
  // A later run finds the lines as its own, in whichever form they name the
  // directory.
  EXPECT_EQ(PENDING_BOTH, StagedCopiesNamedAtRestart());
  ExpectCleanExit();
  // What the restart-time renaming can read is replaced; a line naming the
  // long directory is skipped.
  RestartAndExpect(c.landsAtRestart);
}
INSTANTIATE_TEST_SUITE_P(Rows, ShortFormTest, Rows({First(Where::Wininit)}, kShortForms),
                         RowName());

const std::string kOther = "NUL=C:\\TEMP\\A.TMP\r\n";
const std::string kLibLower = RenameLine("c:\\windows\\system", "halundll.dll");
// The rename file the tool writes ends with one zero byte: `after` is what
// comes before it.
struct MergeCase {
  const char *label;
  std::string before;
  PendingSet pending;
  std::optional<std::string> after = std::nullopt;  // none: as it was before
  Step arrange = [] {};                             // before the pair is placed
};
const std::string kLargest = "[boot]\r\n" + std::string(RENAME_FILE_READ_LIMIT - 10, ';') + "\r\n";
const std::string kZLine = RenameLine("c:\\winz\\system", "halundll.dll");
const std::string kBothLines = kLibLine + kExeLine, kTail = "[Other]\r\nkey=value\r\n";
const MergeCase kMerges[] = {
    {"empty file", "", PENDING_BOTH, kSection + kBothLines},
    {"no [Rename] section", kBoot, PENDING_EXECUTABLE, kBoot + kSection + kExeLine},
    {"no section, no final newline", "[boot]\r\nshell=Explorer.exe", PENDING_BOTH,
     kBoot + kSection + kBothLines},
    {"section with another entry", kSection + kOther, PENDING_BOTH, kSection + kOther + kBothLines},
    {"zero byte left by an earlier run", kSection + kOther + kZero, PENDING_EXECUTABLE,
     kSection + kOther + kExeLine},
    {"zero bytes inside the file", "[boot]\r\n" + kZero + kZero + "x=y\r\n", PENDING_LIBRARY,
     "[boot]\r\nx=y\r\n" + kSection + kLibLine},
    {"line already present", kSection + kExeLine, PENDING_BOTH, kSection + kExeLine + kLibLine},
    {"line present in other letter case", "[rename]\r\n" + kLibLower, PENDING_LIBRARY},
    {"both lines present with the earlier zero byte", kSection + kBothLines + kZero, PENDING_BOTH,
     kSection + kBothLines},
    {"zero bytes dropped: the file shrinks",
     kSection + kLibLine + kZero + kZero + kExeLine + std::string(40, '\0'), PENDING_BOTH,
     kSection + kBothLines},
    {"another section after [Rename]", kSection + kOther + kTail, PENDING_BOTH,
     kSection + kOther + kBothLines + kTail},
    {"[Rename] last, no final newline", kSection + "NUL=C:\\TEMP\\A.TMP", PENDING_EXECUTABLE,
     kSection + kOther + kExeLine},
    {"line only in another section", "[Other]\r\n" + kExeLine, PENDING_EXECUTABLE,
     "[Other]\r\n" + kExeLine + kSection + kExeLine},
    {"line present last, no final newline", kSection + kExeLine.substr(0, kExeLine.size() - 2),
     PENDING_EXECUTABLE},
    {"line present, a Z in the other letter case", kSection + kZLine, PENDING_LIBRARY, std::nullopt,
     [] {
       sim::M().windowsDir = "C:\\WINZ";
       sim::M().systemDir = "C:\\WINZ\\SYSTEM";
     }},
    {"the longest file read", kLargest, PENDING_EXECUTABLE, kLargest + kSection + kExeLine},
};
using MergeTest = DeferredTest<MergeCase>;
TEST_P(MergeTest, ExistingRenameFileKeepsItsContentAndGainsOnlyMissingLines) {
  C().arrange();
  Prepare();
  m().PutFile(Wininit(), C().before);
  // A second run with the same files pending changes nothing.
  for (const char *run : {"first run", "second run"}) {
    ResetRunState();
    PrepareRun();
    ScheduleOnRestart(C().pending);
    EXPECT_EQ(Bytes(C().after.value_or(C().before) + kZero), WininitBytes()) << run;
  }
  ExpectCleanExit();
}
INSTANTIATE_TEST_SUITE_P(Rows, MergeTest, Rows({First(Where::Wininit)}, kMerges), RowName());

// Directories at their limits are used whole or not at all, and a line is
// never cut short; a rename file too large to merge, or one that cannot be
// read or written, is left as it was, and no other is created.
Step Directories(size_t windowsDirLength, size_t systemDirLength) {
  return [=] {
    sim::M().windowsDir = Dir(windowsDirLength, 'W');
    sim::M().systemDir = Dir(systemDirLength);
  };
}
struct WriteCase {
  const char *label;
  Step arrange;
  bool written;
  bool opened = true;     // the rename file is opened, or tried
  Step prepared = [] {};  // once the paths are built
};
const WriteCase kWrites[] = {
    {"Windows directory leaving room for wininit.ini", Directories(243, 17), true},
    {"Windows directory one too long", Directories(244, 17), false, false},
    {"Windows directory longer than its buffer", Directories(300, 17), false, false},
    {"longest system directory", Directories(10, 242), true},
    {"Windows directory reported without its zero byte",
     [] { sim::M().windowsDirOverride = std::make_pair(sim::M().windowsDir, 10u); }, true},
    {"Windows directory missing",
     [] { sim::M().windowsDirOverride = std::make_pair(std::string("C:\\GONE\0", 8), 7u); }, false},
    {"open refused, new file", Failing("CreateFileA"), false},
    {"open refused, existing file", Steps({InRenameFile(kBoot), Failing("CreateFileA")}), false},
    {"file locked by another program", InRenameFile(kBoot, true), false},
    {"read fails", Steps({InRenameFile(kBoot), Failing("ReadFile")}), false},
    {"write fails", Steps({InRenameFile(kBoot), Failing("WriteFile")}), false},
    {"Windows directory unreadable", Steps({InRenameFile(kBoot), Failing("GetWindowsDirectoryA")}),
     false, false},
    {"too large to merge", InRenameFile("[boot]\r\n" + std::string(40000, ';') + "\r\n"), false},
    // Longer than any run accepts; the rename line would not fit its buffer.
    {"system directory too long for a rename line", [] {}, false, true,
     [] { lstrcpyA(g_run.paths.systemDir, Dir(253).c_str()); }},
};
using WriteTest = DeferredTest<WriteCase>;
TEST_P(WriteTest, RenameFileIsWrittenWholeOrLeftAsItWas) {
  C().arrange();
  Prepare();
  C().prepared();
  const MachineState before = Snapshot();
  const std::vector<std::string> files = m().FilePaths();
  EXPECT_EQ(C().written ? PENDING_BOTH : 0, ScheduleOnRestart(PENDING_BOTH));
  EXPECT_EQ(C().written ? Bytes(RenameFile({"halundll.dll", "halunexe.exe"})) : before.wininit,
            WininitBytes());
  if (!C().written) {
    EXPECT_EQ(files, m().FilePaths()) << "no file created";
  }
  if (!C().opened) {
    EXPECT_EQ(0u, Count("CreateFileA"));
  }
  ExpectCleanExit();
}
INSTANTIATE_TEST_SUITE_P(Rows, WriteTest, Rows({First(Where::Wininit)}, kWrites), RowName());

using WinMeTest = DeferredTest<NoCase>;
TEST_P(WinMeTest, OldVersionRunWithAnUnopenableRenameFileStillNeedsTheRestart) {
  Install("4.30");
  Stage("4.60");
  m().faults.operation = "CreateFileA";
  ExpectRun(RUN_RESTART_NEEDED);
}
INSTANTIATE_TEST_SUITE_P(Rows, WinMeTest, Rows({&kWinMe}, kNoCase), RowName());

// Another program's entries, written without blanks or as deletions, are
// carried out too; the rename file is kept as wininit.bak.
using Win98Test = DeferredTest<NoCase>;
TEST_P(Win98Test, RestartAppliesTheMergedSectionAndKeepsOtherEntries) {
  Prepare();
  m().PutFile("C:\\TEMP\\A.TMP", "temp");
  m().PutFile("C:\\TEMP\\C.TMP", "gone");
  m().PutFile(Wininit(),
              kBoot + "[Rename]\r\nC:\\TEMP\\B.TMP=C:\\TEMP\\A.TMP\r\nNUL=C:\\TEMP\\C.TMP\r\n");
  ScheduleOnRestart(PENDING_BOTH);
  const Bytes merged = WininitBytes();
  RestartAndExpect(true);
  EXPECT_EQ(std::nullopt, Snapshot().wininit);
  EXPECT_EQ("temp", m().FileBytes("C:\\TEMP\\B.TMP")) << "the other program's rename";
  EXPECT_FALSE(m().HasFile("C:\\TEMP\\C.TMP")) << "the other program's deletion";
  EXPECT_EQ(merged, Bytes(m().FileBytes(m().windowsDir + "\\wininit.bak")));
}
INSTANTIATE_TEST_SUITE_P(Rows, Win98Test, Rows({First(Where::Wininit)}, kNoCase), RowName());

// ---------------------------------------------------------------- delayed moves

// The moves are performed natively at the restart. Under WOW64 they must name
// the WOW64 directory where the files really are; named as the tool sees them
// ("system32"), the native step finds nothing there and the staged pair stays.
// A WOW64 directory that GetSystemWow64DirectoryA reports with a length it
// does not have.
void WrongLength() { sim::M().wow64DirOverride = std::make_pair(sim::M().wow64Dir + '\0', 40u); }
struct LandCase {
  const char *label;
  // The directory the moves name, "" when none is queued; none: the WOW64
  // directory as configured.
  std::optional<std::string> movedFrom;
  bool replaced;         // the new pair is installed after the restart
  Step arrange = [] {};  // the WOW64 functions and directory, the rights
  const Family *family = &kWin10x64;
};
Step Wow64DirOf(size_t length) {
  return [length] { sim::M().wow64Dir = Dir(length, 'W'); };
}
// The tool may not register delayed moves.
const Step kMovesRefused = [] { sim::M().delayedMovesRefused = true; };
const std::string kSystem32 = "c:\\windows\\system32";
const LandCase kLandings[] = {
    {"Windows 2000, no WOW64 functions", kSystem32, true, [] {}, &kWin2000},
    {"32-bit Windows XP", kSystem32, true, [] {}, &kWinXp},
    {"64-bit Windows 10", "c:\\windows\\syswow64", true},
    {"64-bit, WOW64 directory of 242 characters", std::nullopt, true, Wow64DirOf(SYSTEM_DIR_MAX_LENGTH)},
    {"64-bit, WOW64 directory of 243 characters", "", false, Wow64DirOf(SYSTEM_DIR_MAX_LENGTH + 1)},
    {"64-bit, WOW64 directory longer than its buffer", "", false, Wow64DirOf(300)},
    {"64-bit, WOW64 directory with a length it does not have", "", false, WrongLength},
    {"64-bit, WOW64 directory reported without its zero byte", "c:\\windows\\syswow64", true,
     [] { sim::M().wow64DirOverride = std::make_pair(sim::M().wow64Dir, 19u); }},
    // A missing function or a failed call reads as "not WOW64".
    {"64-bit, no IsWow64Process", kSystem32, false, Unbound("kernel32.dll", "IsWow64Process")},
    {"64-bit, no GetSystemWow64DirectoryA", kSystem32, false,
     Unbound("kernel32.dll", "GetSystemWow64DirectoryA")},
    {"64-bit, IsWow64Process fails", kSystem32, false, Failing("IsWow64Process")},
    {"64-bit, GetSystemWow64DirectoryA fails", kSystem32, false, Failing("GetSystemWow64DirectoryA")},
    {"Windows XP, not elevated", "", false, kMovesRefused, &kWinXp},
    {"64-bit, not elevated", "", false, kMovesRefused},
};
using LandTest = DeferredTest<LandCase>;
TEST_P(LandTest, DelayedMovesLandTheStagedBytesAtTheRestart) {
  const LandCase &c = C();
  if (!F().is64Bit) m().systemDir = "C:\\WINDOWS\\System32";
  c.arrange();
  Arranged("replacement, the library held").arrange();
  m().LockFile(Sys("halunexe.exe"), sim::kForever);
  MachineState expected = RunExpecting(RUN_RESTART_NEEDED);
  const std::string dir = c.movedFrom.value_or(sim::Fold(m().wow64Dir));
  if (!dir.empty())
    expected.moves = {{dir + "\\halundll.dl$", dir + "\\halundll.dll", kReplacing},
                      {dir + "\\halunexe.ex$", dir + "\\halunexe.exe", kReplacing}};
  EXPECT_EQ(expected, Snapshot());
  RestartAndExpect(c.replaced);
}
INSTANTIATE_TEST_SUITE_P(Rows, LandTest, OwnFamilyRows(kLandings), RowName());

// An earlier run's restart-time replacement still names a staged copy, which
// must then stay: read from wininit.ini's first [Rename] section on Windows
// 98/ME and from the delayed moves on NT 5 and later, in the directory where
// the files really are; both copies when the instructions cannot be read.
const std::string kSys32 = "c:\\windows\\system32\\";
// Listed in NT form unless not `ntForm`.
Step Moved(const std::string &from, const std::string &to, DWORD flags, bool ntForm = true) {
  return [=] { sim::M().QueueDelayedMove({from, to, flags, ntForm}); };
}
const Step kExeMove = Moved(kSys32 + "halunexe.ex$", kSys32 + "halunexe.exe", kReplacing);
// Another program's deletion of a long name, then the executable's move: the
// list of moves `total` bytes long.
Step ExeMoveEndingMovesOf(size_t total) {
  return [total] {
    const size_t exeMove = 4 + (kSys32.size() + 12) + 1 + 5 + (kSys32.size() + 12) + 1;
    // "\??\c:\" and the name, its zero byte, the empty target; the list's end.
    const size_t filler = total - exeMove - 4 - 3 - 1 - 1 - 1;
    sim::M().QueueDelayedMove({"c:\\" + std::string(filler, 'f'), "", MOVEFILE_DELAY_UNTIL_REBOOT});
    kExeMove();
    EXPECT_EQ(total, sim::M().GetValue(kSessionManager, "PendingFileRenameOperations")->bytes.size());
  };
}
// Bytes after the list's end that would read as the executable's move.
const std::string kExeMoveAfterTheEnd = "\\??\\c:\\temp\\x" + kZero + "\\??\\" + kSys32 +
                                        "halunexe.ex$" + kZero + "!\\??\\" + kSys32 +
                                        "halunexe.exe" + kZero + kZero;
struct NamedCase {
  const char *label;
  Step arrange;
  PendingSet expected;
  const Family *family = &kWinXp;
};
const NamedCase kNamed[] = {
    {"no rename file", [] {}, 0, &kWin98},
    {"the library's line", InRenameFile(kSection + kLibLine + kZero), PENDING_LIBRARY, &kWin98},
    {"both lines, in other letter case and spacing",
     InRenameFile(
         "[rename]\n  c:\\windows\\system\\HALUNEXE.EXE = c:\\windows\\system\\halunexe.ex$ \n" +
         kLibLine),
     PENDING_BOTH, &kWinMe},
    {"the line in a later [Rename] section",
     InRenameFile("[Rename]\r\nNUL=C:\\x.tmp\r\n[Other]\r\n[Rename]\r\n" + kLibLine), 0, &kWin98},
    {"another program's lines",
     InRenameFile(kSection + "C:\\WINDOWS\\SYSTEM\\halundll.dll = C:\\TEMP\\halundll.dl$\r\n"), 0, &kWin98},
    {"the line, its staged copy gone",
     Steps({InRenameFile(kSection + kExeLine), [] { sim::M().RemoveFile(Sys("halunexe.ex$")); }}), 0,
     &kWin98},
    {"a rename file that cannot be read", InRenameFile(kSection, true), PENDING_BOTH, &kWin98},
    {"no delayed move", [] {}, 0},
    {"the executable's move, replacing", kExeMove, PENDING_EXECUTABLE},
    {"the library's move, not replacing",
     Moved(kSys32 + "halundll.dl$", kSys32 + "halundll.dll", MOVEFILE_DELAY_UNTIL_REBOOT),
     PENDING_LIBRARY, &kWin2000},
    {"another program's moves of the staged copies",
     Steps({Moved(kSys32 + "halundll.dl$", "", MOVEFILE_DELAY_UNTIL_REBOOT),
            Moved(kSys32 + "halunexe.ex$", "c:\\temp\\halunexe.exe", kReplacing)}), 0},
    {"the executable's move after another program's",
     Steps({Moved("c:\\temp\\a.tmp", "c:\\temp\\b.tmp", kReplacing), kExeMove}), PENDING_EXECUTABLE},
    {"the executable's move without the NT prefix",
     Moved(kSys32 + "halunexe.ex$", kSys32 + "halunexe.exe", kReplacing, false), PENDING_EXECUTABLE},
    {"a move after the list's end",
     Steps({Moved("c:\\temp\\a.tmp", "", MOVEFILE_DELAY_UNTIL_REBOOT),
            [] { sim::M().pendingMovesTail = kExeMoveAfterTheEnd; }}), 0},
    {"moves of 1 MiB, read", ExeMoveEndingMovesOf(PENDING_MOVES_READ_LIMIT), PENDING_EXECUTABLE},
    {"moves longer than 1 MiB, not read", ExeMoveEndingMovesOf(PENDING_MOVES_READ_LIMIT + 1), PENDING_BOTH},
    {"under WOW64, the move in the WOW64 directory",
     Moved("c:\\windows\\syswow64\\halunexe.ex$", "c:\\windows\\syswow64\\halunexe.exe", kReplacing),
     PENDING_EXECUTABLE, &kWin10x64},
    {"under WOW64, a move in the directory the tool is shown", kExeMove, 0, &kWin10x64},
    {"the moves cannot be read", Failing("RegQueryValueExA"), PENDING_BOTH},
    {"the session manager's key cannot be opened", Failing("RegOpenKeyExA"), PENDING_BOTH},
    {"NT 4 has no restart replacement to look at", kExeMove, 0, &kNt4},
};
using NamedTest = DeferredTest<NamedCase>;
TEST_P(NamedTest, StagedCopiesThatARestartReplacementStillNamesAreFound) {
  Prepare();
  C().arrange();
  EXPECT_EQ(C().expected, StagedCopiesNamedAtRestart());
  ExpectCleanExit();
}
INSTANTIATE_TEST_SUITE_P(Rows, NamedTest, OwnFamilyRows(kNamed), RowName());

}  // namespace
