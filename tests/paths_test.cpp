// Managed paths, ASCII case folding and the presence test.
#include "files/files.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class PathsTest : public SimTest {};

TEST_F(PathsTest, PathsAreFoldedAndTheDirectoryKeptAsReported) {
  lstrcpyA(g_run.paths.systemDir, "C:\\WINDOWS\\SYSTEM");
  ASSERT_TRUE(BuildManagedPaths());
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
  lstrcpyA(g_run.paths.systemDir, longest.c_str());
  ASSERT_TRUE(BuildManagedPaths());
  EXPECT_EQ(255, lstrlenA(g_run.paths.installedExe));

  std::string tooLong = longest + "E";
  lstrcpyA(g_run.paths.systemDir, tooLong.c_str());
  EXPECT_FALSE(BuildManagedPaths());
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

}  // namespace
