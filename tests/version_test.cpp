// The version gate: the minimum check on the installed executable, the
// identity check against the staged one, and the release of what it takes.
#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

template <class Case>
class VersionTest : public RowTest<Case> {
 protected:
  void SetUp() override {
    RowTest<Case>::SetUp();
    this->PrepareRun();
  }
  VersionVerdict Check() { return CheckVersions(g_run.paths.stagedExe, g_run.paths.installedExe); }
  // Paths given to the version functions, in order.
  std::vector<std::string> VersionPathsQueried() const {
    std::vector<std::string> paths;
    for (const sim::Call &call : sim::M().Calls())
      if (call.name == "GetFileVersionInfoSizeA" || call.name == "GetFileVersionInfoA")
        paths.push_back(call.args[0]);
    return paths;
  }
  // Every block allocated was released, version.dll is no longer loaded and
  // nothing else was left open.
  void ExpectReleased() {
    size_t allocated = 0;
    for (const sim::Call *call : this->m().CallsNamed("HeapAlloc")) allocated += !call->failed;
    EXPECT_EQ(allocated, this->Count("HeapFree")) << "blocks allocated vs freed";
    EXPECT_EQ(0, this->m().LoadedLibraryCount()) << "libraries left loaded";
    this->ExpectCleanExit();
  }
};

using Version = std::optional<std::string>;  // std::nullopt: no version resource
enum Queried { kAny, kNotQueried, kQueried, kNothingRead };
struct VerdictCase {
  const char *label;
  Version installed, staged;
  VersionVerdict expected;
  Queried staged_ = kAny;  // whether the staged file's version was read
  std::function<void()> arrange = nullptr;
};

// Makes the US English FileVersion of `name` unfindable: the table gets
// `translation` and its value is called `valueName`.
std::function<void()> Retranslate(const char *name, const char *translation,
                                  const char *valueName = "FileVersion") {
  return [=] {
    sim::VersionTable table;
    table.translation = translation;
    table.values[valueName] = "4.50";
    sim::M().FindFile(Sys(name))->version->tables = {table};
  };
}
// The staged block's answer: a pointer just past the block, outside it, or
// at `at` in a raw block.
// With `fails`, the query fails though it sets the pointer.
std::function<void()> Answer(bool outside, std::optional<std::string> raw = std::nullopt,
                             size_t at = 0, bool fails = false) {
  return [=] {
    sim::VersionResource &staged = *sim::M().FindFile(Sys("halunexe.ex$"))->version;
    staged.rawBlock = raw;
    staged.answerOutside = outside;
    staged.answerFails = fails;
    if (!outside) staged.answerAt = raw ? at : sim::EncodeVersionBlock(staged).size();
  };
}
// "SIMV", the length 32, one entry whose value "4.6" has no zero byte
// before the block ends.
const std::string kUnterminated =
    std::string("SIMV\x20\0\0\0", 8) + std::string("040904b0\0FileVersion\0", 21) + "4.6";
const std::string kPassing = "4.5" + std::string(400, '0') + "b",
                  kRefused = "4.4" + std::string(400, '1');

const VerdictCase kVerdicts[] = {
    // The comparison is of texts, byte by byte, not of numbers.
    {"", "4.50", "4.50", 0},
    {"", "4.50", "4.51", 1},
    {"a downgrade is a difference too", "4.50", "4.49", 1},
    {"prefix 4.42 equals the minimum", "4.42b", "4.60", 1},
    {"", "4.42b", "4.42b", 0},
    {"", "4.42", "4.42", 0},
    {"text order: 4.5 is after 4.42", "4.5", "4.5", 0},
    {"", "4.420", "4.420", 0},
    {"4.4 ends first, sorts before 4.42", "4.4", "4.60", -1, kNotQueried},
    {"", "4.41z", "4.60", -1},
    // Each end of both letter ranges ends the prefix.
    {"", "4.4A", "4.60", -1, kNotQueried},
    {"", "4.4Z", "4.60", -1, kNotQueried},
    {"", "4.4a", "4.60", -1, kNotQueried},
    {"", "4.4z", "4.60", -1, kNotQueried},
    {"byte 1 sorts before byte 4", "10.0", "10.0", -1, kNotQueried},
    {"the comma sorts before the point", "4, 50, 0, 1", "4.60", -1, kNotQueried},
    {"", "", "4.60", -1, kNotQueried},
    {"a letter first leaves an empty prefix", "v4.50", "4.60", -1, kNotQueried},
    {"", "V4.50", "4.60", -1},
    {"", "4.50", "4.50a", 1},
    {"the whole installed text is compared", "4.50a", "4.50", 1},
    {"", "4.50", "4.50 ", 1},
    {"an empty staged text is a text: it differs", "4.50", "", 1},
    {"an empty installed text leaves an empty prefix", "", "", -1},
    {"bytes compare unsigned: 0xB4 is after 4", "\xB4.00", "\xB4.00", 0},
    // No version resource: the installed file is refused before the staged
    // one is looked at.
    {"installed without a resource", std::nullopt, "4.60", -1, kNotQueried},
    {"staged without a resource", "4.50", std::nullopt, -1, kQueried},
    // Each way a version can fail to be read, on either file.
    {"installed size 0", "4.50", "4.50", -1, kNotQueried, Failing("GetFileVersionInfoSizeA", 0)},
    {"staged size 0", "4.50", "4.50", -1, kQueried, Failing("GetFileVersionInfoSizeA", 1)},
    {"installed read fails", "4.50", "4.50", -1, kNotQueried, Failing("GetFileVersionInfoA", 0)},
    {"staged read fails", "4.50", "4.50", -1, kQueried, Failing("GetFileVersionInfoA", 1)},
    {"installed query fails", "4.50", "4.50", -1, kNotQueried, Failing("VerQueryValueA", 0)},
    {"staged query fails", "4.50", "4.50", -1, kQueried, Failing("VerQueryValueA", 1)},
    {"installed block not allocated", "4.50", "4.50", -1, kNotQueried, Failing("HeapAlloc", 0)},
    {"staged block not allocated", "4.50", "4.50", -1, kQueried, Failing("HeapAlloc", 1)},
    // Only the US English translation counts; beside another one it is
    // still found.
    {"installed only German", "4.50", "4.50", -1, kAny, Retranslate("halunexe.exe", "040704b0")},
    {"staged only German", "4.50", "4.50", -1, kAny, Retranslate("halunexe.ex$", "040704b0")},
    {"installed other code page", "4.50", "4.50", -1, kAny,
     Retranslate("halunexe.exe", "040904e4")},
    {"installed without FileVersion", "4.50", "4.50", -1, kAny,
     Retranslate("halunexe.exe", "040904b0", "ProductVersion")},
    {"staged without FileVersion", "4.50", "4.50", -1, kAny,
     Retranslate("halunexe.ex$", "040904b0", "ProductVersion")},
    {"German first, then US English", "4.50", "4.60", 1, kAny,
     [] {
       sim::VersionTable german;
       german.translation = "040704b0";
       german.values["FileVersion"] = "1.0";
       auto &tables = sim::M().FindFile(Sys("halunexe.exe"))->version->tables;
       tables.insert(tables.begin(), german);
     }},
    // The query's answer is trusted only when it points at a text that ends
    // inside the block.
    {"pointer outside the block", "4.50", "4.60", -1, kAny, Answer(true)},
    {"pointer just past the block", "4.50", "4.60", -1, kAny, Answer(false)},
    {"text not ended inside the block", "4.50", "4.60", -1, kAny, Answer(false, kUnterminated, 29)},
    {"text at the block's first byte", "4.50", "4.60", 1, kAny,
     Answer(false, std::string("4.60\0", 5), 0)},
    {"a failed query's pointer", "4.50", "4.50", -1, kAny,
     Answer(false, std::string("4.50\0", 5), 0, true)},
    // A text with more than 255 characters before its first letter is cut
    // for the minimum check; the identity check still sees the whole text.
    {"long prefix", kPassing, kPassing, 0},
    {"long prefix, staged longer", kPassing, kPassing + "c", 1},
    {"long prefix, staged shorter", kPassing, kPassing.substr(0, 300), 1},
    {"long refused prefix", kRefused, kRefused, -1},
    {"999... is after 4.42", std::string(300, '9'), std::string(300, '9'), 0},
    // version.dll missing or incomplete: nothing is read.
    {"no version.dll", "4.50", "4.50", -1, kNothingRead, Unbound("version.dll", "")},
    {"without GetFileVersionInfoSizeA", "4.50", "4.50", -1, kNothingRead,
     Unbound("version.dll", "GetFileVersionInfoSizeA")},
    {"without GetFileVersionInfoA", "4.50", "4.50", -1, kNothingRead,
     Unbound("version.dll", "GetFileVersionInfoA")},
    {"without VerQueryValueA", "4.50", "4.50", -1, kNothingRead,
     Unbound("version.dll", "VerQueryValueA")},
    // A version.dll planted beside the tool has none of the functions:
    // binding it would give -1.
    {"planted version.dll", "4.50", "4.50", 0, kAny,
     [] { sim::M().PlaceBesideTool("version.dll", sim::Library()); }},
};
using VerdictTest = VersionTest<VerdictCase>;
TEST_P(VerdictTest, VerdictsFollowTheTextRulesAndReleaseWhatTheyTake) {
  const VerdictCase &c = C();
  sim::M().PutExecutable(Sys("halunexe.exe"), "old exe", c.installed);
  sim::M().PutExecutable(Sys("halunexe.ex$"), "new exe", c.staged);
  if (c.arrange) c.arrange();
  EXPECT_EQ(c.expected, Check()) << "installed \"" << c.installed.value_or("(none)")
                                 << "\", staged \"" << c.staged.value_or("(none)") << "\"";
  if (c.staged_ == kNotQueried || c.staged_ == kQueried) {
    const std::vector<std::string> paths = VersionPathsQueried();
    EXPECT_EQ(c.staged_ == kQueried,
              std::find(paths.begin(), paths.end(), g_run.paths.stagedExe) != paths.end())
        << "staged file queried";
  }
  if (c.staged_ == kNothingRead) {
    EXPECT_EQ(std::vector<std::string>{}, VersionPathsQueried());
    EXPECT_EQ(0u, Count("HeapAlloc"));
  }
  for (const sim::Call *load : m().CallsNamed("LoadLibraryA"))
    EXPECT_EQ(m().systemDir + "\\version.dll", load->args[0]) << "from the system directory";
  ExpectReleased();
}
INSTANTIATE_TEST_SUITE_P(Rows, VerdictTest, Rows({kTypical}, kVerdicts), RowName());

using OrderTest = VersionTest<NoCase>;
TEST_P(OrderTest, QueriesTheUsEnglishFileVersionOfBothFilesInOrder) {
  Install("4.50");
  Stage("4.60");
  EXPECT_EQ(1, Check());
  std::vector<std::string> expected = {g_run.paths.installedExe, g_run.paths.installedExe,
                                       g_run.paths.stagedExe, g_run.paths.stagedExe};
  EXPECT_EQ(expected, VersionPathsQueried());
  for (const sim::Call *call : m().CallsNamed("VerQueryValueA"))
    EXPECT_EQ("\\StringFileInfo\\040904b0\\FileVersion", call->args[0]);
  // The block is read with handle 0 at the size the platform reported.
  auto reads = m().CallsNamed("GetFileVersionInfoA");
  auto allocations = m().CallsNamed("HeapAlloc");
  ASSERT_EQ(2u, reads.size());
  ASSERT_EQ(2u, allocations.size());
  for (size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ("0", reads[i]->args[1]) << "read " << i;
    EXPECT_EQ(allocations[i]->args[2], reads[i]->args[2]) << "read " << i << ": block size";
  }
  EXPECT_EQ(1u, Count("LoadLibraryA"));
  EXPECT_EQ(1u, Count("FreeLibrary"));
  ExpectReleased();
}
INSTANTIATE_TEST_SUITE_P(Rows, OrderTest, Rows({kTypical}, kNoCase), RowName());

}  // namespace
