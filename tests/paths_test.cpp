// Managed paths, ASCII case folding, the presence test and the deletion of
// the staged copies a run does not keep.
#include <optional>

#include "files/files.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class PathsTest : public SimTest {};

TEST_F(PathsTest, PathsAreFoldedAndTheDirectoryKeptAsReported) {
  m().systemDir = "C:\\WINDOWS\\SYSTEM";
  ASSERT_TRUE(PrepareManagedPaths());
  EXPECT_STREQ("C:\\WINDOWS\\SYSTEM", g_run.paths.systemDir);
  EXPECT_STREQ("c:\\windows\\system\\halunexe.exe", g_run.paths.installedExe);
  EXPECT_STREQ("c:\\windows\\system\\halunexe.ex$", g_run.paths.stagedExe);
  EXPECT_STREQ("c:\\windows\\system\\halundll.dll", g_run.paths.installedLib);
  EXPECT_STREQ("c:\\windows\\system\\halundll.dl$", g_run.paths.stagedLib);
}

TEST_F(PathsTest, FoldingTouchesOnlyAsciiCapitals) {
  char folded[PATH_CAPACITY];
  FoldPathCase("AZaz@[`{09\xC4\xD6\xDC\x80\xFF", folded, PATH_CAPACITY);
  EXPECT_STREQ("azaz@[`{09\xC4\xD6\xDC\x80\xFF", folded);
  FoldPathCase("", folded, PATH_CAPACITY);
  EXPECT_STREQ("", folded);
  // Bounded by the destination's capacity.
  char small[4] = {'x', 'x', 'x', 'x'};
  FoldPathCase("ABCDEF", small, 4);
  EXPECT_STREQ("abc", small);
}

TEST_F(PathsTest, LongestDirectoryFitsAndOneMoreIsRefused) {
  std::string longest = "C:\\" + std::string(SYSTEM_DIR_MAX_LENGTH - 3, 'D');
  m().systemDir = longest;
  ASSERT_TRUE(PrepareManagedPaths());
  EXPECT_EQ(255, lstrlenA(g_run.paths.installedExe));

  FreshMachine();
  m().systemDir = longest + "E";
  EXPECT_FALSE(PrepareManagedPaths());
  EXPECT_STREQ("", g_run.paths.systemDir);
  EXPECT_STREQ("", g_run.paths.installedExe);
  EXPECT_STREQ("", g_run.paths.stagedLib);
}

TEST_F(PathsTest, PresenceIgnoresCaseAndClosesTheSearch) {
  m().PutFile("C:\\WINDOWS\\SYSTEM32\\HALUNEXE.EXE", "x");
  EXPECT_TRUE(IsFilePresent("c:\\windows\\system32\\halunexe.exe"));
  EXPECT_FALSE(IsFilePresent("c:\\windows\\system32\\halunexe.ex$"));
  EXPECT_EQ(2u, m().CallsNamed("FindFirstFileA").size());
  EXPECT_EQ(1u, m().CallsNamed("FindClose").size()) << "only a found search is closed";
  ExpectCleanExit();
}

// A copy cut short, as a run stopped during CopyFileA leaves it, ends early
// or is padded with zero bytes; anything else is another file. Either file
// that cannot be read: nothing can be told.
const std::string kBig(5000, 'x');
struct CompareCase {
  const char *label;
  std::optional<std::string> installed;  // std::nullopt: missing
  std::string staged;
  FileMatch expected;
  bool readFails = false;
};
const CompareCase kCompares[] = {
    {"same bytes", "new exe", "new exe", MATCH_SAME},
    {"both empty", "", "", MATCH_SAME},
    {"empty", "", "new exe", MATCH_TORN},
    {"ends early", "new", "new exe", MATCH_TORN},
    {"zero bytes after the cut", std::string("new\0\0\0\0", 7), "new exe", MATCH_TORN},
    {"ends early after zero bytes", std::string("new\0", 4), "new exe", MATCH_TORN},
    {"other bytes", "old exe", "new exe", MATCH_DIFFERENT},
    {"a byte after the zero bytes", std::string("new\0\0\0e", 7), "new exe", MATCH_DIFFERENT},
    {"longer", "new exe!", "new exe", MATCH_DIFFERENT},
    {"longer by zero bytes", std::string("new exe\0", 8), "new exe", MATCH_DIFFERENT},
    // across the chunks the comparison reads
    {"same, several chunks", kBig, kBig, MATCH_SAME},
    {"ends at a chunk's end", kBig.substr(0, 4096), kBig, MATCH_TORN},
    {"zero bytes from the second chunk", kBig.substr(0, 4100) + std::string(900, '\0'), kBig,
     MATCH_TORN},
    {"differs in the last byte", kBig.substr(0, 4999) + "y", kBig, MATCH_DIFFERENT},
    {"installed copy missing", std::nullopt, "new exe", MATCH_UNKNOWN},
    {"a read fails", "new exe", "new exe", MATCH_UNKNOWN, true},
};
using CompareTest = RowTest<CompareCase>;
TEST_P(CompareTest, InstalledCopyIsTheStagedOneWholeCutShortOrAnother) {
  if (C().installed) m().PutFile("C:\\WINDOWS\\SYSTEM32\\halunexe.exe", *C().installed);
  m().PutFile("C:\\WINDOWS\\SYSTEM32\\halunexe.ex$", C().staged);
  if (C().readFails) m().faults.operation = "ReadFile";
  EXPECT_EQ(C().expected, CompareWithStaged("c:\\windows\\system32\\halunexe.exe",
                                            "c:\\windows\\system32\\halunexe.ex$"));
  ExpectCleanExit();
}
INSTANTIATE_TEST_SUITE_P(Rows, CompareTest, Rows({kTypical}, kCompares), RowName());

// The end of a run deletes the staged copies it does not keep; bit 2 of a
// pending set names no file.
struct DeleteCase {
  const char *label;
  PendingSet keep;
  bool libraryKept, executableKept;
};
const DeleteCase kDeletes[] = {
    {"nothing kept", 0, false, false},
    {"library", PENDING_LIBRARY, true, false},
    {"executable", PENDING_EXECUTABLE, false, true},
    {"both", PENDING_BOTH, true, true},
    {"bit 2 names no file", 4, false, false},
};
using DeleteTest = RowTest<DeleteCase>;
TEST_P(DeleteTest, StagedCopiesGoUnlessTheirBitIsSet) {
  MachineState expected = Prepare();
  DeleteStagedCopies(C().keep);
  if (!C().libraryKept) expected.stagedDll = std::nullopt;
  if (!C().executableKept) expected.stagedExe = std::nullopt;
  EXPECT_EQ(expected, Snapshot());
}
INSTANTIATE_TEST_SUITE_P(Rows, DeleteTest, Rows({&kWinXp}, kDeletes), RowName());

}  // namespace
