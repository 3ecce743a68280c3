// The completion marker: which staged copies the end of a run removes, the
// "Complete" value it writes, and the "start" value that can pre-empt a run.
#include <string>

#include "marker/marker.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

const std::string kComplete("Complete\0", 9);

class MarkerTest : public SimTest {
 protected:
  // Every key the operation opened was closed again.
  void ExpectKeysClosed() {
    EXPECT_EQ(0, m().OpenHandlesByKind()["key"]) << "key handles left open";
    EXPECT_TRUE(m().defects.empty()) << m().defects.front();
  }
  bool MarkedWith(DWORD type, const std::string &bytes) {
    SetUp();
    m().SetValue(kMarkerKey, kMarkerValue, type, bytes);
    BOOL marked = IsStartMarked();
    ExpectKeysClosed();
    return marked != FALSE;
  }
};

TEST_F(MarkerTest, FinishRunKeepsExactlyTheStagedCopiesWhosePendingBitIsSet) {
  struct Row {
    PendingSet pending;
    bool libraryKept, executableKept;
  };
  const Row rows[] = {
      {0, false, false},
      {PENDING_LIBRARY, true, false},
      {PENDING_EXECUTABLE, false, true},
      {PENDING_LIBRARY | PENDING_EXECUTABLE, true, true},
      {PENDING_ALL, true, true},
      {4, false, false},  // bit 2 names no file
  };
  for (const Row &row : rows) {
    SetUp();
    AddMarkerKey();
    Stage("4.60");
    Install("4.50");
    PrepareRun();
    FinishRun(row.pending);
    EXPECT_EQ(row.libraryKept, m().HasFile(Sys("halundll.dl$"))) << "pending " << row.pending;
    EXPECT_EQ(row.executableKept, m().HasFile(Sys("halunexe.ex$"))) << "pending " << row.pending;
    EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe"))) << "pending " << row.pending;
    EXPECT_EQ("old dll", m().FileBytes(Sys("halundll.dll"))) << "pending " << row.pending;
    EXPECT_EQ(kComplete, MarkerText()) << "pending " << row.pending;
    ExpectCleanExit();
  }
}

TEST_F(MarkerTest, CompleteIsWrittenAsStringWithItsZeroByteOverAnyEarlierValue) {
  // The key's letter case differs from the table's: keys match without case.
  m().SetValue("SOFTWARE\\MORVANE OF BRASTOW\\MORVANE LUMETRA 4.5", "VASTEL", REG_BINARY,
               std::string("start\0junk that is longer", 25));
  m().SetValue(kMarkerKey, "Other", REG_SZ, std::string("keep\0", 5));
  PrepareRun();
  FinishRun(PENDING_ALL);
  auto value = m().GetValue(kMarkerKey, kMarkerValue);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), value->type);
  EXPECT_EQ(kComplete, value->bytes);
  EXPECT_EQ(std::string("keep\0", 5), m().GetValue(kMarkerKey, "Other")->bytes);

  auto opens = m().CallsNamed("RegOpenKeyExA");
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ(std::string(kMarkerKey), opens[0]->args[1]);
  EXPECT_EQ("0xF003F", opens[0]->args[3]) << "access asked for";
  auto sets = m().CallsNamed("RegSetValueExA");
  ASSERT_EQ(1u, sets.size());
  EXPECT_EQ("Vastel", sets[0]->args[1]);
  ExpectKeysClosed();
  ExpectCleanExit();
}

TEST_F(MarkerTest, MissingOrRefusedKeyLeavesTheRegistryAlone) {
  for (bool refused : {false, true}) {
    SetUp();
    if (refused) {
      m().SetValue(kMarkerKey, kMarkerValue, REG_SZ, std::string("start\0", 6));
      m().FindKey(kMarkerKey)->refused = true;
    }
    Stage("4.60");
    PrepareRun();
    EXPECT_FALSE(IsStartMarked()) << (refused ? "refused" : "missing");
    FinishRun(0);
    EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$"))) << "staged copies are still removed";
    EXPECT_TRUE(m().CallsNamed("RegSetValueExA").empty()) << (refused ? "refused" : "missing");
    EXPECT_TRUE(m().CallsNamed("RegQueryValueExA").empty()) << (refused ? "refused" : "missing");
    if (refused) {
      EXPECT_EQ(std::string("start\0", 6), MarkerText());
    } else {
      EXPECT_EQ(nullptr, m().FindKey(kMarkerKey)) << "the key is never created";
    }
    ExpectKeysClosed();
    ExpectCleanExit();
  }
}

TEST_F(MarkerTest, StartIsRecognisedInAnyLetterCaseAndAnyValueType) {
  struct Row {
    DWORD type;
    std::string bytes;
    bool marked;
  };
  const std::string zeros255(250, '\0');
  const Row rows[] = {
      {REG_SZ, std::string("start\0", 6), true},
      {REG_SZ, std::string("Start\0", 6), true},
      {REG_SZ, std::string("START\0", 6), true},
      {REG_SZ, std::string("sTaRt\0", 6), true},
      {REG_EXPAND_SZ, std::string("start\0", 6), true},
      {REG_MULTI_SZ, std::string("start\0\0", 7), true},
      {REG_BINARY, std::string("start\0", 6), true},
      {REG_DWORD, std::string("START", 5), true},     // no zero byte
      {REG_BINARY, std::string("start", 5), true},    // no zero byte
      {REG_SZ, std::string("start \0", 7), false},
      {REG_SZ, std::string("starts\0", 7), false},
      {REG_SZ, std::string(" start\0", 7), false},
      {REG_SZ, std::string("star\0", 5), false},
      {REG_BINARY, std::string("sta", 3), false},     // no zero byte
      {REG_SZ, std::string("Complete\0", 9), false},
      {REG_SZ, std::string("", 0), false},
      {REG_SZ, std::string("st\xC1rt\0", 6), false},  // only A to Z are lowered
      {REG_SZ, "start" + zeros255, true},             // 255 bytes: fits the read
      {REG_SZ, "start" + zeros255 + std::string(1, '\0'), false},  // 256 bytes: refused
      {REG_SZ, std::string(255, 'x'), false},
      {REG_BINARY, std::string(256, 'x'), false},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(row.marked, MarkedWith(row.type, row.bytes))
        << "type " << row.type << ", " << row.bytes.size() << " bytes: "
        << row.bytes.substr(0, 12);
    EXPECT_TRUE(m().CallsNamed("RegSetValueExA").empty()) << "reading never writes";
  }
}

TEST_F(MarkerTest, MissingValueOrFailedReadIsNotStart) {
  AddMarkerKey();
  EXPECT_FALSE(IsStartMarked()) << "key without the value";
  ExpectKeysClosed();

  SetUp();
  m().SetValue(kMarkerKey, kMarkerValue, REG_SZ, std::string("start\0", 6));
  m().faults.operation = "RegQueryValueExA";
  EXPECT_FALSE(IsStartMarked()) << "failed read";
  ExpectKeysClosed();
}

}  // namespace
