// The string table as the tool loads it: every text byte for byte, and the
// truncation rule of the loader.
#include <cstring>
#include <string>

#include "base/text.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class StringTableTest : public SimTest {};

// The texts the tool relies on, written out here independently of the table
// source so that an escaping mistake there shows up as a difference.
struct ExpectedText {
  UINT number;
  const char *bytes;
  size_t length;
};
#define EXPECTED(number, literal) {number, literal, sizeof(literal) - 1}
const ExpectedText kExpected[] = {
    EXPECTED(1, "[Rename]\x0d\x0a"),
    EXPECTED(2, "%s\x5chalundll.dll = %s\x5chalundll.dl\x24\x0d\x0a"),
    EXPECTED(4, "%s\x5chalunexe.exe = %s\x5chalunexe.ex\x24\x0d\x0a"),
    EXPECTED(5, "%s\x5cwininit.ini"),
    EXPECTED(20, "4.42"),
    EXPECTED(21, "Software\x5cMorvane of Brastow\x5cMorvane Lumetra 4.5"),
    EXPECTED(22, "Vastel"),
    EXPECTED(23, "Complete"),
    EXPECTED(24, "start"),
    EXPECTED(30, "\x20/init"),
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

// The table holds these texts and no other; each is loaded with its zero byte.
TEST_F(StringTableTest, EveryTextIsLoadedByteForByte) {
  std::string expected, numbers;
  for (const auto &entry : sim::StringTable()) numbers += std::to_string(entry.first) + " ";
  for (const ExpectedText &text : kExpected) {
    expected += std::to_string(text.number) + " ";
    EXPECT_EQ(std::string(text.bytes, text.length + 1),
              Loaded(text.number, TEXT_LOAD_LIMIT).substr(0, text.length + 1))
        << "text " << text.number;
  }
  EXPECT_EQ(expected, numbers) << "the numbers of the table";
}

// Cut to the capacity less one and ended; nothing is written past it.
TEST_F(StringTableTest, LongTextIsCutToCapacityLessOneAndEnded) {
  struct Row {
    UINT number;
    int capacity;
    const char *expected;
  };
  const Row rows[] = {
      {21, 9, "Software"},  // 8 characters and the zero byte
      {21, 1, ""},
      {30, 2, " "},
      {30, 7, " /init"},  // exactly fits
      {1, 9, "[Rename]"},
      {1, 10, "[Rename]\r"},  // a CR LF pair may be split
  };
  for (const Row &row : rows)
    EXPECT_EQ(std::string(row.expected) + '\0' + std::string(TEXT_CAPACITY - row.capacity, '#'),
              Loaded(row.number, row.capacity))
        << "text " << row.number << " capacity " << row.capacity;
}

TEST_F(StringTableTest, TextsAreLoadedFromTheToolsOwnModuleWithTheCallersCapacity) {
  char buffer[TEXT_CAPACITY];
  LoadText(30, buffer, TEXT_CAPACITY);
  LoadText(20, buffer, TEXT_LOAD_LIMIT);
  auto calls = m().CallsNamed("LoadStringA");
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ((std::vector<std::string>{"NULL", "30", "256"}), calls[0]->args);
  EXPECT_EQ((std::vector<std::string>{"NULL", "20", "255"}), calls[1]->args);
}

TEST_F(StringTableTest, UnknownNumberOrFailedLoadLeavesAnEmptyText) {
  char buffer[TEXT_CAPACITY];
  std::strcpy(buffer, "stale");
  LoadText(3, buffer, TEXT_LOAD_LIMIT);
  EXPECT_STREQ("", buffer) << "text 3 is not in the table";

  std::strcpy(buffer, "stale");
  m().faults.operation = "LoadStringA";
  LoadText(24, buffer, TEXT_LOAD_LIMIT);
  EXPECT_STREQ("", buffer) << "a failed load";
}

}  // namespace
