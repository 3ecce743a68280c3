// Replacement at the next restart: the [Rename] section of wininit.ini on
// Windows 98/ME (fresh and merged into an existing file), delayed moves on
// NT 5 and later, nothing elsewhere.
#include <cstring>
#include <functional>
#include <string>

#include "replace/replace.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const std::string kSection = "[Rename]\r\n";
const std::string kLibLine = "C:\\WINDOWS\\SYSTEM\\halundll.dll = C:\\WINDOWS\\SYSTEM\\halundll.dl$\r\n";
const std::string kExeLine = "C:\\WINDOWS\\SYSTEM\\halunexe.exe = C:\\WINDOWS\\SYSTEM\\halunexe.ex$\r\n";
const std::string kZero(1, '\0');

std::string Visible(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == 0) out += "\\0";
    else out += static_cast<char>(c);
  }
  return out;
}

class DeferredTest : public SimTest {
 protected:
  std::string Wininit() const { return sim::M().windowsDir + "\\wininit.ini"; }
  std::string WininitBytes() {
    return m().HasFile(Wininit()) ? m().FileBytes(Wininit()) : std::string("(no file)");
  }
  // Windows 98 with both pairs in C:\WINDOWS\SYSTEM, paths built.
  void Prepare98(const Family &family = kWin98) {
    UseFamily(family);
    Install("4.50");
    Stage("4.60");
    PrepareRun();
  }
};

// ---------------------------------------------------------------- wininit.ini

TEST_F(DeferredTest, FreshRenameFileForEachPendingSet) {
  struct Row {
    PendingSet pending;
    std::string expected;
  };
  const Row rows[] = {
      {0, "(no file)"},  // nothing to schedule: no rename file is created
      {PENDING_LIBRARY, kSection + kLibLine + kZero},
      {PENDING_EXECUTABLE, kSection + kExeLine + kZero},
      {PENDING_LIBRARY | PENDING_EXECUTABLE, kSection + kLibLine + kExeLine + kZero},
      {PENDING_ALL, kSection + kLibLine + kExeLine + kZero},
  };
  for (const Family *family : {&kWin98, &kWinMe}) {
    for (const Row &row : rows) {
      SetUp();
      Prepare98(*family);
      EXPECT_EQ(row.pending & (PENDING_LIBRARY | PENDING_EXECUTABLE), ScheduleOnRestart(row.pending))
          << family->name << ", pending " << row.pending << ": what was scheduled";
      EXPECT_EQ(Visible(row.expected), Visible(WininitBytes()))
          << family->name << ", pending " << row.pending;
      EXPECT_TRUE(m().CallsNamed("MoveFileExA").empty()) << family->name;
      ExpectCleanExit();
    }
  }
}

// While the tool merges the rename file, another program can neither read
// nor write it.
TEST_F(DeferredTest, RenameLinesUseTheSystemDirectoryAsReportedAndTheFileIsHeldUnshared) {
  UseFamily(kWin98);
  m().systemDir = "D:\\Win98\\System";
  m().windowsDir = "D:\\Win98";
  Stage("4.60");
  PrepareRun();
  std::vector<std::string> refused;
  m().otherProgram = [&](const std::string &call) {
    if (call != "WriteFile") return;
    for (DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
      HANDLE other = CreateFileA("D:\\Win98\\WININIT.INI", access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
      if (other != INVALID_HANDLE_VALUE) {
        CloseHandle(other);
      } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
        refused.push_back(access == GENERIC_READ ? "read" : "write");
      }
    }
  };
  EXPECT_TRUE(WriteWininitRenames(PENDING_ALL));
  m().otherProgram = nullptr;
  EXPECT_EQ((std::vector<std::string>{"read", "write"}), refused) << "openers refused";
  EXPECT_EQ(Visible("[Rename]\r\n"
                    "D:\\Win98\\System\\halundll.dll = D:\\Win98\\System\\halundll.dl$\r\n"
                    "D:\\Win98\\System\\halunexe.exe = D:\\Win98\\System\\halunexe.ex$\r\n" +
                    kZero),
            Visible(WininitBytes()));
  ExpectCleanExit();
}

// A file whose staged copy is missing cannot be put in place at the restart:
// it is not scheduled, and with nothing left to schedule no rename file is
// created or changed and no move is registered. The result says what was.
TEST_F(DeferredTest, OnlyFilesWithAStagedCopyAreScheduled) {
  struct Row {
    const char *label;
    PendingSet pending;
    const char *absent;  // a staged copy removed first, or nullptr
    PendingSet scheduled;
  };
  const Row rows[] = {
      {"nothing pending", 0, nullptr, 0},
      {"bit 2 alone", 4, nullptr, 0},
      {"library pending, its staged copy missing", PENDING_LIBRARY, "halundll.dl$", 0},
      {"both pending, staged library missing", PENDING_ALL, "halundll.dl$", PENDING_EXECUTABLE},
      {"both pending, staged executable missing", PENDING_ALL, "halunexe.ex$", PENDING_LIBRARY},
  };
  const std::string before = "[boot]\r\nshell=Explorer.exe\r\n";
  for (const Family *family : {&kWin98, &kWinXp}) {
    for (bool existing : {false, true}) {
      for (const Row &row : rows) {
        SetUp();
        UseFamily(*family);
        Install("4.50");
        Stage("4.60");
        PrepareRun();
        if (row.absent) m().RemoveFile(Sys(row.absent));
        if (existing) m().PutFile(Wininit(), before);
        std::string label = std::string(family->name) + ", " + row.label +
                            (existing ? ", existing wininit.ini" : "");
        EXPECT_EQ(row.scheduled, ScheduleOnRestart(row.pending)) << label;
        const bool on98 = family->expected == PLATFORM_WIN98ME;
        if (row.scheduled == 0 || !on98) {
          EXPECT_EQ(Visible(existing ? before : "(no file)"), Visible(WininitBytes())) << label;
          EXPECT_TRUE(m().CallsNamed("CreateFileA").empty()) << label;
        } else {
          EXPECT_EQ(Visible((existing ? before : "") + kSection +
                            (row.scheduled == PENDING_LIBRARY ? kLibLine : kExeLine) + kZero),
                    Visible(WininitBytes()))
              << label;
        }
        EXPECT_EQ(on98 ? 0u : (row.scheduled ? 1u : 0u), m().delayedMoves.size()) << label;
        ExpectCleanExit();
      }
    }
  }
}

// Renames on 98/ME are carried out before Windows starts, where only short
// (8.3) names exist and a line naming a long directory is skipped: the lines
// name the system directory in its short form, or as reported when that
// cannot be had. An 8.3 directory is its own short form: the bytes are as
// before.
TEST_F(DeferredTest, RenameLinesNameTheSystemDirectoryInItsShortForm) {
  struct Row {
    const char *label;
    std::string systemDir;
    std::string shortForm;  // "" : none configured (reported unchanged)
    const char *failingCall;
    std::string inLines;
    bool landsAtRestart;
  };
  const std::string longDir = "C:\\Program Files\\Windows System";
  const std::string shortDir = "C:\\PROGRA~1\\WINDOW~1";
  const Row rows[] = {
      {"8.3 directory", "C:\\WINDOWS\\SYSTEM", "", nullptr, "C:\\WINDOWS\\SYSTEM", true},
      {"long directory", longDir, shortDir, nullptr, shortDir, true},
      {"long directory, no short form to be had", longDir, shortDir, "GetShortPathNameA", longDir,
       false},
      {"short form longer than a system directory may be", longDir,
       "C:\\" + std::string(240, 'S'), nullptr, longDir, false},
      {"short form longer than its buffer", longDir, "C:\\" + std::string(300, 'S'), nullptr,
       longDir, false},
  };
  for (const Row &row : rows) {
    SetUp();
    UseFamily(kWin98);
    m().systemDir = row.systemDir;
    if (!row.shortForm.empty()) m().shortPaths[sim::Fold(row.systemDir)] = row.shortForm;
    Install("4.50");
    Stage("4.60");
    PrepareRun();
    if (row.failingCall) m().faults.operation = row.failingCall;
    EXPECT_EQ(PENDING_ALL & 3, ScheduleOnRestart(PENDING_ALL)) << row.label;
    m().faults = sim::FaultPlan();
    const std::string &d = row.inLines;
    EXPECT_EQ(Visible(kSection + d + "\\halundll.dll = " + d + "\\halundll.dl$\r\n" + d +
                      "\\halunexe.exe = " + d + "\\halunexe.ex$\r\n" + kZero),
              Visible(WininitBytes()))
        << row.label;
    auto shortened = m().CallsNamed("GetShortPathNameA");
    ASSERT_EQ(1u, shortened.size()) << row.label;
    EXPECT_EQ(row.systemDir, shortened[0]->args[0]) << row.label << ": the directory as reported";
    EXPECT_EQ("255", shortened[0]->args[1]) << row.label << ": one byte to spare";
    ExpectCleanExit();
    // What the restart-time renaming can read is replaced; a line naming the
    // long directory is skipped.
    m().Restart();
    EXPECT_EQ(row.landsAtRestart ? "new exe" : "old exe", m().FileBytes(Sys("halunexe.exe")))
        << row.label;
    EXPECT_EQ(row.landsAtRestart ? "new dll" : "old dll", m().FileBytes(Sys("halundll.dll")))
        << row.label;
  }
}

TEST_F(DeferredTest, ExistingRenameFileKeepsItsContentAndGainsOnlyMissingLines) {
  struct Row {
    const char *label;
    std::string before;
    PendingSet pending;
    std::string after;
  };
  const std::string other = "NUL=C:\\TEMP\\A.TMP\r\n";
  const std::string libLower =
      "c:\\windows\\system\\halundll.dll = c:\\windows\\system\\halundll.dl$\r\n";
  const Row rows[] = {
      {"empty file", "", PENDING_ALL, kSection + kLibLine + kExeLine + kZero},
      {"no [Rename] section", "[boot]\r\nshell=Explorer.exe\r\n", PENDING_EXECUTABLE,
       "[boot]\r\nshell=Explorer.exe\r\n" + kSection + kExeLine + kZero},
      {"no section, no final newline", "[boot]\r\nshell=Explorer.exe", PENDING_ALL,
       "[boot]\r\nshell=Explorer.exe\r\n" + kSection + kLibLine + kExeLine + kZero},
      {"section with another entry", kSection + other, PENDING_ALL,
       kSection + other + kLibLine + kExeLine + kZero},
      {"zero byte left by an earlier run", kSection + other + kZero, PENDING_EXECUTABLE,
       kSection + other + kExeLine + kZero},
      {"zero bytes inside the file", "[boot]\r\n" + kZero + kZero + "x=y\r\n", PENDING_LIBRARY,
       "[boot]\r\nx=y\r\n" + kSection + kLibLine + kZero},
      {"line already present", kSection + kExeLine, PENDING_ALL,
       kSection + kExeLine + kLibLine + kZero},
      {"line present in other letter case", "[rename]\r\n" + libLower, PENDING_LIBRARY,
       "[rename]\r\n" + libLower + kZero},
      {"both lines present with the earlier zero byte", kSection + kLibLine + kExeLine + kZero,
       PENDING_ALL, kSection + kLibLine + kExeLine + kZero},
      {"zero bytes dropped: the file shrinks", kSection + kLibLine + kZero + kZero + kExeLine +
       std::string(40, '\0'), PENDING_ALL, kSection + kLibLine + kExeLine + kZero},
      {"another section after [Rename]", kSection + other + "[Other]\r\nkey=value\r\n",
       PENDING_ALL, kSection + other + kLibLine + kExeLine + "[Other]\r\nkey=value\r\n" + kZero},
      {"[Rename] last, no final newline", kSection + "NUL=C:\\TEMP\\A.TMP", PENDING_EXECUTABLE,
       kSection + other + kExeLine + kZero},
      {"line only in another section", "[Other]\r\n" + kExeLine, PENDING_EXECUTABLE,
       "[Other]\r\n" + kExeLine + kSection + kExeLine + kZero},
  };
  for (const Row &row : rows) {
    SetUp();
    Prepare98();
    m().PutFile(Wininit(), row.before);
    ScheduleOnRestart(row.pending);
    EXPECT_EQ(Visible(row.after), Visible(WininitBytes())) << row.label;
    // A second run with the same files pending changes nothing.
    ResetRunState();
    PrepareRun();
    ScheduleOnRestart(row.pending);
    EXPECT_EQ(Visible(row.after), Visible(WininitBytes())) << row.label << ", second run";
    ExpectCleanExit();
  }
}

TEST_F(DeferredTest, RenameFileTooLargeToMergeIsLeftAlone) {
  Prepare98();
  const std::string big = "[boot]\r\n" + std::string(40000, ';') + "\r\n";
  m().PutFile(Wininit(), big);
  WriteWininitRenames(PENDING_ALL);
  EXPECT_EQ(big.size(), WininitBytes().size());
  EXPECT_TRUE(WininitBytes() == big) << "existing content changed";
  ExpectCleanExit();
}

TEST_F(DeferredTest, DirectoriesAtTheirLimitsAreUsedWholeOrNotAtAll) {
  struct Row {
    const char *label;
    size_t windowsDirLength, systemDirLength;
    bool written;
  };
  const Row rows[] = {
      {"Windows directory leaving room for \\wininit.ini", 243, 17, true},
      {"Windows directory one too long", 244, 17, false},
      {"Windows directory longer than its buffer", 300, 17, false},
      {"longest system directory", 10, 242, true},
  };
  for (const Row &row : rows) {
    SetUp();
    UseFamily(kWin98);
    m().windowsDir = "C:\\" + std::string(row.windowsDirLength - 3, 'W');
    m().systemDir = "C:\\" + std::string(row.systemDirLength - 3, 'S');
    Stage("4.60");
    PrepareRun();
    WriteWininitRenames(PENDING_EXECUTABLE);
    EXPECT_EQ(row.written, m().HasFile(Wininit())) << row.label;
    if (!row.written) {
      EXPECT_TRUE(m().CallsNamed("CreateFileA").empty()) << row.label;
    } else {
      // The line is never cut short.
      EXPECT_EQ(Visible(kSection + m().systemDir + "\\halunexe.exe = " + m().systemDir +
                        "\\halunexe.ex$\r\n" + kZero),
                Visible(WininitBytes()))
          << row.label;
    }
    ExpectCleanExit();
  }
}

TEST_F(DeferredTest, SystemDirectoryTooLongForARenameLineWritesNothing) {
  UseFamily(kWin98);
  ClassifyPlatform();
  // Longer than any run accepts; the rename line would not fit its buffer.
  std::string dir = "C:\\" + std::string(250, 'S');
  lstrcpyA(g_run.paths.systemDir, dir.c_str());
  WriteWininitRenames(PENDING_ALL);
  EXPECT_FALSE(m().HasFile(Wininit()));
  ExpectCleanExit();
}

TEST_F(DeferredTest, RenameFileThatCannotBeReadOrWrittenIsLeftAsItWas) {
  struct Row {
    const char *label;
    const char *failingCall;  // nullptr: the file is locked instead
    bool existing;
    const char *windowsDir = nullptr;  // reported but not there, or nullptr
  };
  const Row rows[] = {
      {"Windows directory missing", nullptr, false, "C:\\GONE"},
      {"open refused, new file", "CreateFileA", false},
      {"open refused, existing file", "CreateFileA", true},
      {"file locked by another program", nullptr, true},
      {"read fails", "ReadFile", true},
      {"write fails", "WriteFile", true},
      {"Windows directory unreadable", "GetWindowsDirectoryA", true},
  };
  const std::string before = "[boot]\r\nshell=Explorer.exe\r\n";
  for (const Row &row : rows) {
    SetUp();
    Prepare98();
    if (row.existing) m().PutFile(Wininit(), before);
    if (row.windowsDir) {
      m().windowsDirOverride = std::make_pair(std::string(row.windowsDir) + '\0',
                                              static_cast<UINT>(std::strlen(row.windowsDir)));
    } else if (row.failingCall) {
      m().faults.operation = row.failingCall;
    } else {
      m().LockFile(Wininit(), sim::kForever);
    }
    EXPECT_FALSE(WriteWininitRenames(PENDING_ALL)) << row.label;
    EXPECT_EQ(Visible(row.existing ? before : "(no file)"), Visible(WininitBytes())) << row.label;
    if (row.windowsDir) {
      EXPECT_FALSE(m().HasFile(std::string(row.windowsDir) + "\\wininit.ini")) << row.label;
    }
    ExpectCleanExit();
  }
}

TEST_F(DeferredTest, OldVersionRunWithAnUnopenableRenameFileStillNeedsTheRestart) {
  UseFamily(kWinMe);
  Install("4.30");
  Stage("4.60");
  m().faults.operation = "CreateFileA";
  EXPECT_EQ(RUN_RESTART_NEEDED, RunUpgrade());
  EXPECT_FALSE(m().HasFile(Wininit()));
  EXPECT_TRUE(m().HasFile(Sys("halunexe.ex$")));
  EXPECT_TRUE(m().HasFile(Sys("halundll.dl$")));
  EXPECT_TRUE(m().launches.empty());
  ExpectCleanExit();
}

// Another program's entries, written without blanks or as deletions, are
// carried out too; the rename file is kept as wininit.bak.
TEST_F(DeferredTest, RestartAppliesTheMergedSectionAndKeepsOtherEntries) {
  Prepare98();
  m().PutFile("C:\\TEMP\\A.TMP", "temp");
  m().PutFile("C:\\TEMP\\C.TMP", "gone");
  m().PutFile(Wininit(), "[boot]\r\nshell=Explorer.exe\r\n[Rename]\r\nC:\\TEMP\\B.TMP=C:\\TEMP\\A.TMP\r\n"
                         "NUL=C:\\TEMP\\C.TMP\r\n");
  ScheduleOnRestart(PENDING_ALL);
  const std::string merged = WininitBytes();
  m().Restart();
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe")));
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll")));
  EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$")));
  EXPECT_FALSE(m().HasFile(Sys("halundll.dl$")));
  EXPECT_EQ("temp", m().FileBytes("C:\\TEMP\\B.TMP")) << "the other program's rename";
  EXPECT_FALSE(m().HasFile("C:\\TEMP\\C.TMP")) << "the other program's deletion";
  EXPECT_FALSE(m().HasFile(Wininit()));
  EXPECT_EQ(Visible(merged), Visible(m().FileBytes(m().windowsDir + "\\wininit.bak")));
}

// ---------------------------------------------------------------- delayed moves

TEST_F(DeferredTest, DelayedMovesUseTheFoldedPathsLibraryFirst) {
  struct Row {
    PendingSet pending;
    const char *moves;
  };
  const Row rows[] = {
      {PENDING_LIBRARY, "c:\\winnt\\system32\\halundll.dl$ > c:\\winnt\\system32\\halundll.dll 5; "},
      {PENDING_EXECUTABLE, "c:\\winnt\\system32\\halunexe.ex$ > c:\\winnt\\system32\\halunexe.exe 5; "},
      {PENDING_ALL,
       "c:\\winnt\\system32\\halundll.dl$ > c:\\winnt\\system32\\halundll.dll 5; "
       "c:\\winnt\\system32\\halunexe.ex$ > c:\\winnt\\system32\\halunexe.exe 5; "},
      {0, ""},
  };
  for (const Family *family : {&kWin2000, &kWinXp, &kWin10}) {
    for (const Row &row : rows) {
      SetUp();
      UseFamily(*family);
      m().systemDir = "C:\\WINNT\\System32";
      Install("4.50");
      Stage("4.60");
      PrepareRun();
      EXPECT_EQ(row.pending & 3, ScheduleOnRestart(row.pending)) << family->name;
      std::string moves;
      for (const sim::DelayedMove &move : m().delayedMoves)
        moves += move.from + " > " + move.to + " " + std::to_string(move.flags) + "; ";
      EXPECT_EQ(row.moves, moves) << family->name << ", pending " << row.pending;
      EXPECT_FALSE(m().HasFile(m().windowsDir + "\\wininit.ini")) << family->name;
      EXPECT_TRUE(m().CallsNamed("CreateFileA").empty()) << family->name;
      ExpectCleanExit();
    }
  }
}

// The moves are performed natively at the restart. Under WOW64 they must name
// the WOW64 directory where the files really are; named as the tool sees them
// ("system32"), the native step finds nothing there and the staged pair stays.
TEST_F(DeferredTest, DelayedMovesLandTheStagedBytesAtTheRestart) {
  enum class Wow64 { FamilyDefault, NoIsWow64Process, NoDirectoryFunction, IsWow64ProcessFails,
                     DirectoryCallFails, DirectoryLengthWrong };
  struct Row {
    const char *label;
    const Family *family;
    Wow64 functions;
    size_t wow64DirLength;  // 0: the family's own
    const char *movedFrom;  // the directory the moves name; "" when none is queued
    bool replaced;          // the new pair is installed after the restart
    bool movesRefused = false;  // the tool may not register delayed moves
  };
  const std::string longest = std::string(SYSTEM_DIR_MAX_LENGTH, 'w');
  const Row rows[] = {
      {"Windows 2000, no WOW64 functions", &kWin2000, Wow64::FamilyDefault, 0, "c:\\windows\\system32", true},
      {"32-bit Windows XP", &kWinXp, Wow64::FamilyDefault, 0, "c:\\windows\\system32", true},
      {"64-bit Windows 10", &kWin10x64, Wow64::FamilyDefault, 0, "c:\\windows\\syswow64", true},
      {"64-bit, WOW64 directory of 242 characters", &kWin10x64, Wow64::FamilyDefault,
       SYSTEM_DIR_MAX_LENGTH, nullptr, true},
      {"64-bit, WOW64 directory of 243 characters", &kWin10x64, Wow64::FamilyDefault,
       SYSTEM_DIR_MAX_LENGTH + 1, "", false},
      {"64-bit, WOW64 directory longer than its buffer", &kWin10x64, Wow64::FamilyDefault, 300, "",
       false},
      {"64-bit, WOW64 directory with a length it does not have", &kWin10x64,
       Wow64::DirectoryLengthWrong, 0, "", false},
      // A missing function or a failed call reads as "not WOW64".
      {"64-bit, no IsWow64Process", &kWin10x64, Wow64::NoIsWow64Process, 0,
       "c:\\windows\\system32", false},
      {"64-bit, no GetSystemWow64DirectoryA", &kWin10x64, Wow64::NoDirectoryFunction, 0,
       "c:\\windows\\system32", false},
      {"64-bit, IsWow64Process fails", &kWin10x64, Wow64::IsWow64ProcessFails, 0,
       "c:\\windows\\system32", false},
      {"64-bit, GetSystemWow64DirectoryA fails", &kWin10x64, Wow64::DirectoryCallFails, 0,
       "c:\\windows\\system32", false},
      {"Windows XP, not elevated", &kWinXp, Wow64::FamilyDefault, 0, "", false, true},
      {"64-bit, not elevated", &kWin10x64, Wow64::FamilyDefault, 0, "", false, true},
  };
  for (const Row &row : rows) {
    SetUp();
    UseFamily(*row.family);
    if (!row.family->is64Bit) m().systemDir = "C:\\WINDOWS\\System32";
    if (row.wow64DirLength != 0)
      m().wow64Dir = "C:\\" + std::string(row.wow64DirLength - 3, 'W');
    auto &kernel32 = m().systemLibraries["kernel32.dll"].exports;
    switch (row.functions) {
      case Wow64::FamilyDefault: break;
      case Wow64::NoIsWow64Process: kernel32.erase("IsWow64Process"); break;
      case Wow64::NoDirectoryFunction: kernel32.erase("GetSystemWow64DirectoryA"); break;
      case Wow64::IsWow64ProcessFails: m().faults.operation = "IsWow64Process"; break;
      case Wow64::DirectoryCallFails: m().faults.operation = "GetSystemWow64DirectoryA"; break;
      case Wow64::DirectoryLengthWrong:
        m().wow64DirOverride = std::make_pair(m().wow64Dir + '\0', 40u);
        break;
    }
    m().delayedMovesRefused = row.movesRefused;
    Install("4.50");
    Stage("4.60");
    m().LockFile(Sys("halunexe.exe"), sim::kForever);
    m().LockFile(Sys("halundll.dll"), sim::kForever);
    EXPECT_EQ(RUN_RESTART_NEEDED, RunUpgrade()) << row.label;
    EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << row.label;

    const std::string dir = row.movedFrom ? row.movedFrom : sim::Fold(m().wow64Dir);
    std::string expected, moves;
    if (!dir.empty())
      expected = dir + "\\halundll.dl$ > " + dir + "\\halundll.dll 5; " + dir +
                 "\\halunexe.ex$ > " + dir + "\\halunexe.exe 5; ";
    for (const sim::DelayedMove &move : m().delayedMoves)
      moves += move.from + " > " + move.to + " " + std::to_string(move.flags) + "; ";
    EXPECT_EQ(expected, moves) << row.label;
    EXPECT_EQ(0, m().LoadedLibraryCount()) << row.label;
    ExpectCleanExit();

    m().Restart();
    const char *exe = row.replaced ? "new exe" : "old exe";
    const char *dll = row.replaced ? "new dll" : "old dll";
    EXPECT_EQ(exe, m().FileBytes(Sys("halunexe.exe"))) << row.label << ", after the restart";
    EXPECT_EQ(dll, m().FileBytes(Sys("halundll.dll"))) << row.label << ", after the restart";
    EXPECT_EQ(!row.replaced, m().HasFile(Sys("halunexe.ex$"))) << row.label << ", after the restart";
    EXPECT_EQ(!row.replaced, m().HasFile(Sys("halundll.dl$"))) << row.label << ", after the restart";
  }
}

// ---------------------------------------------------------------- elsewhere

TEST_F(DeferredTest, OtherPlatformsGetNoRestartInstructions) {
  for (const Family *family : {&kNt4, &kWin95, &kWin32s}) {
    SetUp();
    UseFamily(*family);
    Install("4.50");
    Stage("4.60");
    PrepareRun();
    size_t callsBefore = m().calls.size();
    EXPECT_EQ(0, ScheduleOnRestart(PENDING_ALL)) << family->name << ": nothing scheduled";
    EXPECT_EQ(callsBefore, m().calls.size()) << family->name << ": no platform call at all";
    EXPECT_TRUE(m().delayedMoves.empty()) << family->name;
    EXPECT_FALSE(m().HasFile(m().windowsDir + "\\wininit.ini")) << family->name;
  }
  // An unclassified platform behaves the same.
  SetUp();
  m().version.platformId = 3;
  Stage("4.60");
  PrepareRun();
  ScheduleOnRestart(PENDING_ALL);
  EXPECT_TRUE(m().delayedMoves.empty());
  EXPECT_FALSE(m().HasFile(m().windowsDir + "\\wininit.ini"));
}

}  // namespace

namespace {

// An earlier run's restart-time replacement still names a staged copy, which
// must then stay: read from wininit.ini's first [Rename] section on Windows
// 98/ME and from the delayed moves on NT 5 and later, in the directory where
// the files really are; both copies when the instructions cannot be read.
TEST_F(DeferredTest, StagedCopiesThatARestartReplacementStillNamesAreFound) {
  const PendingSet both = PENDING_LIBRARY | PENDING_EXECUTABLE;
  const std::string sys = "C:\\WINDOWS\\SYSTEM\\", sys32 = "c:\\windows\\system32\\";
  struct Row {
    const char *label;
    const Family *family;
    std::function<void()> arrange;
    PendingSet expected;
  };
  auto wininit = [this](const std::string &text) {
    return [this, text] { m().PutFile(Wininit(), text); };
  };
  auto move = [](const std::string &from, const std::string &to, DWORD flags) {
    return [from, to, flags] { sim::M().delayedMoves.push_back({from, to, flags}); };
  };
  const Row rows[] = {
      {"no rename file", &kWin98, [] {}, 0},
      {"the library's line", &kWin98, wininit(kSection + kLibLine + kZero), PENDING_LIBRARY},
      {"both lines, in other letter case and spacing", &kWinMe,
       wininit("[rename]\n  c:\\windows\\system\\HALUNEXE.EXE = c:\\windows\\system\\halunexe.ex$ \n" +
               kLibLine),
       both},
      {"the line in a later [Rename] section", &kWin98,
       wininit("[Rename]\r\nNUL=C:\\x.tmp\r\n[Other]\r\n[Rename]\r\n" + kLibLine), 0},
      {"another program's lines", &kWin98,
       wininit(kSection + "C:\\WINDOWS\\SYSTEM\\halundll.dll = C:\\TEMP\\halundll.dl$\r\n"), 0},
      {"the line, its staged copy gone", &kWin98,
       [&] {
         m().PutFile(Wininit(), kSection + kExeLine);
         m().RemoveFile(sys + "halunexe.ex$");
       },
       0},
      {"a rename file that cannot be read", &kWin98,
       [&] {
         m().PutFile(Wininit(), kSection);
         m().LockFile(Wininit(), sim::kForever);
       },
       both},
      {"no delayed move", &kWinXp, [] {}, 0},
      {"the executable's move, replacing", &kWinXp,
       move(sys32 + "halunexe.ex$", sys32 + "halunexe.exe", 5), PENDING_EXECUTABLE},
      {"the library's move, not replacing", &kWin2000,
       move(sys32 + "halundll.dl$", sys32 + "halundll.dll", 4), PENDING_LIBRARY},
      {"another program's moves of the staged copies", &kWinXp,
       [&] {
         m().delayedMoves.push_back({sys32 + "halundll.dl$", "", 4});
         m().delayedMoves.push_back({sys32 + "halunexe.ex$", "c:\\temp\\halunexe.exe", 5});
       },
       0},
      {"under WOW64, the move in the WOW64 directory", &kWin10x64,
       move("c:\\windows\\syswow64\\halunexe.ex$", "c:\\windows\\syswow64\\halunexe.exe", 5),
       PENDING_EXECUTABLE},
      {"under WOW64, a move in the directory the tool is shown", &kWin10x64,
       move(sys32 + "halunexe.ex$", sys32 + "halunexe.exe", 5), 0},
      {"the moves cannot be read", &kWinXp,
       [this] { m().faults.operation = "RegQueryValueExA"; }, both},
      {"the session manager's key cannot be opened", &kWinXp,
       [this] { m().faults.operation = "RegOpenKeyExA"; }, both},
      {"NT 4 has no restart replacement to look at", &kNt4,
       move(sys32 + "halunexe.ex$", sys32 + "halunexe.exe", 5), 0},
  };
  for (const Row &row : rows) {
    SetUp();
    UseFamily(*row.family);
    Install("4.50");
    Stage("4.60");
    PrepareRun();
    row.arrange();
    EXPECT_EQ(row.expected, StagedCopiesNamedAtRestart()) << row.label;
    ExpectCleanExit();
  }
}

}  // namespace
