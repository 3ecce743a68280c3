// The string table as the tool loads it: every text byte for byte, and the
// truncation rule of the loader.
#include <cstdio>
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

std::string Visible(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    }
  }
  return out;
}

// The table holds these texts and no other.
TEST_F(StringTableTest, EveryTextIsLoadedByteForByte) {
  std::string expected, numbers;
  for (const auto &entry : sim::StringTable()) numbers += std::to_string(entry.first) + " ";
  for (const ExpectedText &text : kExpected) {
    expected += std::to_string(text.number) + " ";
    char buffer[TEXT_CAPACITY];
    std::memset(buffer, '#', sizeof buffer);
    LoadText(text.number, buffer, TEXT_LOAD_LIMIT);
    std::string loaded(buffer, ::strnlen(buffer, sizeof buffer));
    EXPECT_EQ(Visible(std::string(text.bytes, text.length)), Visible(loaded))
        << "text " << text.number;
    EXPECT_EQ(0, buffer[loaded.size()]) << "text " << text.number << " ends with a zero byte";
  }
  EXPECT_EQ(expected, numbers) << "the numbers of the table";
}

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
  for (const Row &row : rows) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    LoadText(row.number, buffer, row.capacity);
    EXPECT_EQ(Visible(row.expected), Visible(buffer))
        << "text " << row.number << " capacity " << row.capacity;
    // Nothing is written past the capacity.
    std::string past(buffer + row.capacity, sizeof buffer - row.capacity);
    EXPECT_EQ(Visible(std::string(past.size(), '#')), Visible(past))
        << "text " << row.number << " capacity " << row.capacity << ": bytes past it";
  }
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
