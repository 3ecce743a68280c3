// The version gate: the minimum check on the installed executable, the
// identity check against the staged one, and the release of what it takes.
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const char kFileVersionQuery[] = "\\StringFileInfo\\040904b0\\FileVersion";

class VersionTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    PreparePaths();
  }
  // The run has read the system directory and built the paths.
  void PreparePaths() {
    lstrcpyA(g_run.paths.systemDir, m().systemDir.c_str());
    ASSERT_TRUE(BuildManagedPaths());
  }
  VersionVerdict Check() { return CheckVersions(g_run.paths.stagedExe, g_run.paths.installedExe); }

  // Paths given to the version functions, in order.
  std::vector<std::string> VersionPathsQueried() const {
    std::vector<std::string> paths;
    for (const sim::Call &call : sim::M().calls)
      if (call.name == "GetFileVersionInfoSizeA" || call.name == "GetFileVersionInfoA")
        paths.push_back(call.args[0]);
    return paths;
  }
  bool StagedQueried() const {
    for (const std::string &path : VersionPathsQueried())
      if (path == g_run.paths.stagedExe) return true;
    return false;
  }

  // Every block allocated was released, version.dll is no longer loaded and
  // nothing else was left open.
  void ExpectReleased(const std::string &label) {
    size_t allocated = 0;
    for (const sim::Call *call : m().CallsNamed("HeapAlloc"))
      if (!call->failed) ++allocated;
    EXPECT_EQ(allocated, m().CallsNamed("HeapFree").size()) << label << ": blocks allocated vs freed";
    EXPECT_EQ(0, m().LiveAllocationCount()) << label << ": blocks left";
    EXPECT_EQ(0, m().LoadedLibraryCount()) << label << ": libraries left loaded";
    EXPECT_EQ(0, m().OpenHandleCount()) << label << ": handles left";
    EXPECT_TRUE(m().defects.empty()) << label << ": " << (m().defects.empty() ? "" : m().defects[0]);
  }
};

struct TextCase {
  const char *installed;
  const char *staged;
  VersionVerdict expected;
};

// The comparison is of texts, byte by byte, not of numbers.
TEST_F(VersionTest, VerdictsFollowTheTextRules) {
  const TextCase cases[] = {
      {"4.50", "4.50", 0},
      {"4.50", "4.51", 1},
      {"4.50", "4.49", 1},         // a downgrade is a difference too
      {"4.42b", "4.60", 1},        // prefix 4.42 equals the minimum
      {"4.42b", "4.42b", 0},
      {"4.42", "4.42", 0},
      {"4.5", "4.5", 0},           // text order: 4.5 is after 4.42
      {"4.420", "4.420", 0},
      {"4.4", "4.60", -1},         // 4.4 ends first, sorts before 4.42
      {"4.41z", "4.60", -1},
      {"10.0", "10.0", -1},        // byte 1 sorts before byte 4
      {"4, 50, 0, 1", "4.60", -1}, // the comma sorts before the point
      {"", "4.60", -1},
      {"v4.50", "4.60", -1},       // a letter first leaves an empty prefix
      {"V4.50", "4.60", -1},
      {"4.50", "4.50a", 1},
      {"4.50a", "4.50", 1},        // the whole installed text is compared
      {"4.50", "4.50 ", 1},
      {"4.50", "", 1},             // an empty staged text is a text: it differs
      {"", "", -1},                // an empty installed text leaves an empty prefix
      {"\xB4.00", "\xB4.00", 0},   // bytes compare unsigned: 0xB4 is after '4'
  };
  for (const TextCase &c : cases) {
    SetUp();
    Install(c.installed);
    Stage(c.staged);
    std::string label = std::string("installed \"") + c.installed + "\", staged \"" + c.staged + "\"";
    EXPECT_EQ(c.expected, Check()) << label;
    ExpectReleased(label);
  }
}

TEST_F(VersionTest, QueriesTheUsEnglishFileVersionOfBothFilesInOrder) {
  Install("4.50");
  Stage("4.60");
  EXPECT_EQ(1, Check());
  std::vector<std::string> expected = {g_run.paths.installedExe, g_run.paths.installedExe,
                                       g_run.paths.stagedExe, g_run.paths.stagedExe};
  EXPECT_EQ(expected, VersionPathsQueried());
  for (const sim::Call *call : m().CallsNamed("VerQueryValueA"))
    EXPECT_EQ(kFileVersionQuery, call->args[0]);
  // The block is read with handle 0 at the size the platform reported.
  auto reads = m().CallsNamed("GetFileVersionInfoA");
  auto allocations = m().CallsNamed("HeapAlloc");
  ASSERT_EQ(2u, reads.size());
  ASSERT_EQ(2u, allocations.size());
  for (size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ("0", reads[i]->args[1]) << "read " << i;
    EXPECT_EQ(allocations[i]->args[2], reads[i]->args[2]) << "read " << i << ": block size";
  }
  ExpectReleased("4.50 / 4.60");
}

TEST_F(VersionTest, StagedFileIsNeverQueriedWhenTheInstalledOneIsRefused) {
  const char *refused[] = {"4.4", "10.0", "", "v4.50", "4, 50, 0, 1"};
  for (const char *installed : refused) {
    SetUp();
    Install(installed);
    Stage("4.60");
    EXPECT_EQ(-1, Check()) << "installed \"" << installed << "\"";
    EXPECT_FALSE(StagedQueried()) << "installed \"" << installed << "\"";
    ExpectReleased(installed);
  }
  // An installed file without a version resource is refused the same way.
  SetUp();
  m().PutExecutable(Sys("halunexe.exe"), "old exe", std::nullopt);
  Stage("4.60");
  EXPECT_EQ(-1, Check());
  EXPECT_FALSE(StagedQueried());
  ExpectReleased("installed without a resource");
}

TEST_F(VersionTest, StagedFileWithoutAVersionResourceIsUnreadable) {
  Install("4.50");
  m().PutExecutable(Sys("halunexe.ex$"), "new exe", std::nullopt);
  EXPECT_EQ(-1, Check());
  EXPECT_TRUE(StagedQueried());
  ExpectReleased("staged without a resource");
}

// Each way a version can fail to be read, on either file, gives -1 and
// leaves nothing allocated or loaded.
struct UnreadableCase {
  const char *label;
  const char *operation;  // a version or heap call that fails
  int occurrence;        // 0: the installed file's, 1: the staged file's
};

TEST_F(VersionTest, FailedCallsMakeTheVersionUnreadable) {
  const UnreadableCase cases[] = {
      {"installed size 0", "GetFileVersionInfoSizeA", 0},
      {"staged size 0", "GetFileVersionInfoSizeA", 1},
      {"installed read fails", "GetFileVersionInfoA", 0},
      {"staged read fails", "GetFileVersionInfoA", 1},
      {"installed query fails", "VerQueryValueA", 0},
      {"staged query fails", "VerQueryValueA", 1},
      {"installed block not allocated", "HeapAlloc", 0},
      {"staged block not allocated", "HeapAlloc", 1},
  };
  for (const UnreadableCase &c : cases) {
    SetUp();
    Install("4.50");
    Stage("4.50");  // would be 0 if read
    m().faults.operation = c.operation;
    m().faults.occurrence = c.occurrence;
    EXPECT_EQ(-1, Check()) << c.label;
    EXPECT_EQ(c.occurrence == 1, StagedQueried()) << c.label;
    ExpectReleased(c.label);
  }
}

TEST_F(VersionTest, OnlyTheUsEnglishTranslationCounts) {
  struct Case {
    const char *label;
    bool onInstalled;
    const char *translation;
    const char *valueName;
  };
  const Case cases[] = {
      {"installed only German", true, "040704b0", "FileVersion"},
      {"staged only German", false, "040704b0", "FileVersion"},
      {"installed other code page", true, "040904e4", "FileVersion"},
      {"installed without FileVersion", true, "040904b0", "ProductVersion"},
      {"staged without FileVersion", false, "040904b0", "ProductVersion"},
  };
  for (const Case &c : cases) {
    SetUp();
    Install("4.50");
    Stage("4.50");
    sim::VersionResource resource;
    sim::VersionTable table;
    table.translation = c.translation;
    table.values[c.valueName] = "4.50";
    resource.tables.push_back(table);
    m().FindFile(Sys(c.onInstalled ? "halunexe.exe" : "halunexe.ex$"))->version = resource;
    EXPECT_EQ(-1, Check()) << c.label;
    ExpectReleased(c.label);
  }
  // Beside another translation, the US English one is still found.
  SetUp();
  Install("4.50");
  Stage("4.60");
  sim::VersionTable german;
  german.translation = "040704b0";
  german.values["FileVersion"] = "1.0";
  auto &tables = m().FindFile(Sys("halunexe.exe"))->version->tables;
  tables.insert(tables.begin(), german);
  EXPECT_EQ(1, Check());
  ExpectReleased("German first, then US English");
}

// The query's answer is trusted only when it points at a text that ends
// inside the block; an empty text is a text like any other.
TEST_F(VersionTest, StagedTextIsReadOnlyWhereTheBlockVouchesForIt) {
  struct Case {
    const char *label;
    std::optional<std::string> rawBlock;
    std::optional<size_t> answerAt;
    bool answerOutside;
    VersionVerdict expected;
  };
  // "SIMV", the length 32, one entry whose value "4.6" has no zero byte
  // before the block ends.
  const std::string unterminated = std::string("SIMV\x20\0\0\0", 8) +
                                   std::string("040904b0\0FileVersion\0", 21) + "4.6";
  const Case cases[] = {
      {"empty text", std::nullopt, std::nullopt, false, 1},
      {"pointer outside the block", std::nullopt, std::nullopt, true, -1},
      {"pointer just past the block", std::nullopt, 0, false, -1},  // set below
      {"text not ended inside the block", unterminated, 29, false, -1},
  };
  for (const Case &c : cases) {
    SetUp();
    Install("4.50");
    Stage(c.rawBlock || c.answerAt || c.answerOutside ? "4.60" : "");
    sim::VersionResource &staged = *m().FindFile(Sys("halunexe.ex$"))->version;
    if (c.rawBlock) staged.rawBlock = c.rawBlock;
    staged.answerAt = c.answerAt;
    staged.answerOutside = c.answerOutside;
    if (c.answerAt && !c.rawBlock) staged.answerAt = sim::EncodeVersionBlock(staged).size();
    EXPECT_EQ(c.expected, Check()) << c.label;
    ExpectReleased(c.label);
  }
}

// A text with more than 255 characters before its first letter is cut for
// the minimum check; the identity check still sees the whole text.
TEST_F(VersionTest, LongPrefixIsCutWithoutOverrun) {
  const std::string passing = "4.5" + std::string(400, '0') + "b";
  const std::string refused = "4.4" + std::string(400, '1');
  struct Case {
    std::string installed, staged;
    VersionVerdict expected;
  };
  const Case cases[] = {
      {passing, passing, 0},
      {passing, passing + "c", 1},
      {passing, passing.substr(0, 300), 1},
      {refused, refused, -1},
      {std::string(300, '9'), std::string(300, '9'), 0},  // "999..." is after "4.42"
  };
  for (const Case &c : cases) {
    SetUp();
    Install(c.installed);
    Stage(c.staged);
    std::string label = "installed of " + std::to_string(c.installed.size()) + " characters, staged of " +
                        std::to_string(c.staged.size());
    EXPECT_EQ(c.expected, Check()) << label;
    ExpectReleased(label);
  }
}

TEST_F(VersionTest, VersionLibraryMissingOrIncompleteGivesMinusOne) {
  const char *missing[] = {"", "GetFileVersionInfoSizeA", "GetFileVersionInfoA", "VerQueryValueA"};
  for (const char *entry : missing) {
    SetUp();
    Install("4.50");
    Stage("4.50");
    std::string label;
    if (*entry == 0) {
      m().systemLibraries.erase("version.dll");
      label = "no version.dll";
    } else {
      m().systemLibraries["version.dll"].exports.erase(entry);
      label = std::string("version.dll without ") + entry;
    }
    EXPECT_EQ(-1, Check()) << label;
    EXPECT_TRUE(VersionPathsQueried().empty()) << label;
    EXPECT_TRUE(m().CallsNamed("HeapAlloc").empty()) << label;
    ExpectReleased(label);
  }
}

TEST_F(VersionTest, VersionLibraryComesFromTheSystemDirectory) {
  // A library planted beside the tool has none of the functions: binding it
  // would give -1.
  m().besideToolLibraries["version.dll"] = sim::Library();
  Install("4.50");
  Stage("4.50");
  EXPECT_EQ(0, Check());
  auto loads = m().CallsNamed("LoadLibraryA");
  ASSERT_EQ(1u, loads.size());
  EXPECT_EQ(m().systemDir + "\\version.dll", loads[0]->args[0]);
  EXPECT_EQ(1u, m().CallsNamed("FreeLibrary").size());
  ExpectReleased("planted version.dll");
}

// Through the run: the verdict picks the course.
TEST_F(VersionTest, RunFollowsTheVerdict) {
  struct Case {
    const char *installed;
    const char *staged;
    RunStatus expected;
  };
  const Case cases[] = {{"4.50", "4.50", RUN_SAME_VERSION},
                        {"4.50", "4.60", RUN_REPLACED},
                        {"4.41", "4.60", RUN_RESTART_NEEDED},
                        {"4.50", "", RUN_REPLACED}};
  for (const Case &c : cases) {
    sim::Reset();
    ResetRunState();
    Install(c.installed);
    Stage(c.staged);
    EXPECT_EQ(c.expected, RunUpgrade()) << c.installed << " / " << c.staged;
    ExpectReleased(std::string(c.installed) + " / " + c.staged);
  }
}

}  // namespace
