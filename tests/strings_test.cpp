// The string table as the tool loads it: the documented texts byte for byte,
// and the truncation rule of the loader.
#include <cstring>
#include <string>

#include "base/text.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class StringTableTest : public SimTest {};

// The texts the tool's users rely on, as the integration guide documents
// them, written out here apart from the table so that a wrong or mis-escaped
// entry shows up as a difference.
struct ExpectedText {
  UINT number;
  const char *bytes;
  size_t length;
};
#define EXPECTED(number, literal) {number, literal, sizeof(literal) - 1}
const ExpectedText kDocumented[] = {
    EXPECTED(TEXT_RENAME_SECTION, "[Rename]\x0d\x0a"),
    EXPECTED(TEXT_RENAME_LIBRARY, "%s\x5chalundll.dll = %s\x5chalundll.dl\x24\x0d\x0a"),
    EXPECTED(TEXT_RENAME_EXECUTABLE, "%s\x5chalunexe.exe = %s\x5chalunexe.ex\x24\x0d\x0a"),
    EXPECTED(TEXT_MINIMUM_VERSION, "4.42"),
    EXPECTED(TEXT_MARKER_KEY, "Software\x5cMorvane of Brastow\x5cMorvane Lumetra 4.5"),
    EXPECTED(TEXT_MARKER_VALUE, "Vastel"),
    EXPECTED(TEXT_MARKER_COMPLETE, "Complete"),
    EXPECTED(TEXT_MARKER_START, "start"),
    EXPECTED(TEXT_RESTART_ARGUMENT, "\x20/init"),
};
#undef EXPECTED

// Text `number` loaded with `capacity` into a buffer of '#' bytes: the
// whole buffer afterwards.
std::string Loaded(UINT number, int capacity) {
  char buffer[TEXT_CAPACITY];
  std::memset(buffer, '#', sizeof buffer);
  LoadText(number, buffer, capacity);
  return std::string(buffer, sizeof buffer);
}

// Each documented text is loaded with its zero byte.
TEST_F(StringTableTest, DocumentedTextsAreLoadedByteForByte) {
  for (const ExpectedText &text : kDocumented)
    EXPECT_EQ(std::string(text.bytes, text.length + 1),
              Loaded(text.number, TEXT_LOAD_LIMIT).substr(0, text.length + 1))
        << "text " << text.number;
}

// Cut to the capacity less one and ended; nothing is written past it.
TEST_F(StringTableTest, LongTextIsCutToCapacityLessOneAndEnded) {
  struct Row {
    UINT number;
    int capacity;
    const char *expected;
  };
  const Row rows[] = {
      {TEXT_MARKER_KEY, 9, "Software"},  // 8 characters and the zero byte
      {TEXT_MARKER_KEY, 1, ""},
      {TEXT_RESTART_ARGUMENT, 2, " "},
      {TEXT_RESTART_ARGUMENT, 7, " /init"},  // exactly fits
      {TEXT_RENAME_SECTION, 9, "[Rename]"},
      {TEXT_RENAME_SECTION, 10, "[Rename]\r"},  // a CR LF pair may be split
  };
  for (const Row &row : rows)
    EXPECT_EQ(std::string(row.expected) + '\0' + std::string(TEXT_CAPACITY - row.capacity, '#'),
              Loaded(row.number, row.capacity))
        << "text " << row.number << " capacity " << row.capacity;
}

TEST_F(StringTableTest, TextsAreLoadedFromTheToolsOwnModuleWithTheCallersCapacity) {
  Loaded(TEXT_RESTART_ARGUMENT, TEXT_CAPACITY);
  Loaded(TEXT_MINIMUM_VERSION, TEXT_LOAD_LIMIT);
  auto calls = m().CallsNamed("LoadStringA");
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ((std::vector<std::string>{"NULL", std::to_string(TEXT_RESTART_ARGUMENT), "256"}), calls[0]->args);
  EXPECT_EQ((std::vector<std::string>{"NULL", std::to_string(TEXT_MINIMUM_VERSION), "255"}), calls[1]->args);
}

TEST_F(StringTableTest, UnknownNumberOrFailedLoadLeavesAnEmptyText) {
  UINT unknown = 1;
  while (sim::StringTable().count(unknown) != 0) ++unknown;
  EXPECT_STREQ("", Loaded(unknown, TEXT_LOAD_LIMIT).c_str())
      << "text " << unknown << " is not in the table";
  m().faults.operation = "LoadStringA";
  EXPECT_STREQ("", Loaded(TEXT_MARKER_START, TEXT_LOAD_LIMIT).c_str()) << "a failed load";
}

}  // namespace
