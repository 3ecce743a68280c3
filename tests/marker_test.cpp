// The completion marker: the "Complete" value the end of a run writes, and the
// "start" value that can pre-empt a run.
#include "marker/marker.h"

#include <string>

#include "support/scenario.h"

using namespace testing_support;

namespace {

template <class Case>
class MarkerTest : public RowTest<Case> {
 protected:
  // Every key the operation opened was closed again.
  void ExpectKeysClosed() {
    EXPECT_EQ(0, sim::M().OpenHandlesByKind()["key"]) << "key handles left open";
    this->ExpectCleanExit();
  }
};

using CompleteTest = MarkerTest<NoCase>;
TEST_P(CompleteTest, CompleteIsWrittenAsStringWithItsZeroByteOverAnyEarlierValue) {
  // The key's letter case differs from the table's: keys match without case.
  m().RemoveKey(kMarkerKey);
  m().SetValue("SOFTWARE\\MORVANE OF BRASTOW\\MORVANE LUMETRA 4.5", "VASTEL", REG_BINARY,
               std::string("start\0junk that is longer", 25));
  m().SetValue(kMarkerKey, "Other", REG_SZ, std::string("keep\0", 5));
  MarkRunComplete();
  auto value = m().GetValue(kMarkerKey, kMarkerValue);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((DWORD)REG_SZ, value->type);
  EXPECT_EQ(kComplete, value->bytes);
  EXPECT_EQ(std::string("keep\0", 5), m().GetValue(kMarkerKey, "Other")->bytes);
  auto opens = m().CallsNamed("RegOpenKeyExA");
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ(std::string(kMarkerKey), opens[0]->args[1]);
  EXPECT_EQ((DWORD)KEY_ALL_ACCESS, std::stoul(opens[0]->args[3], nullptr, 0)) << "access asked for";
  ASSERT_EQ(1u, Count("RegSetValueExA"));
  EXPECT_EQ(kMarkerValue, m().CallsNamed("RegSetValueExA")[0]->args[1]);
  ExpectKeysClosed();
}
INSTANTIATE_TEST_SUITE_P(Rows, CompleteTest, Rows({&kWinXp}, kNoCase), RowName());

struct KeyCase {
  const char *label;
  bool refused;
};
const KeyCase kKeys[] = {{"missing", false}, {"refused", true}};
using KeyTest = MarkerTest<KeyCase>;
TEST_P(KeyTest, MissingOrRefusedKeyLeavesTheRegistryAlone) {
  m().RemoveKey(kMarkerKey);
  if (C().refused) {
    m().SetValue(kMarkerKey, kMarkerValue, REG_SZ, std::string("start\0", 6));
    m().FindKey(kMarkerKey)->refused = true;
  }
  MachineState expected = Snapshot();
  EXPECT_FALSE(IsStartMarked());
  MarkRunComplete();
  // The key is never created.
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(0u, Count("RegSetValueExA") + Count("RegQueryValueExA"));
  if (!C().refused) {
    EXPECT_EQ(nullptr, m().FindKey(kMarkerKey));
  }
  ExpectKeysClosed();
}
INSTANTIATE_TEST_SUITE_P(Rows, KeyTest, Rows({&kWinXp}, kKeys), RowName());

struct StartCase {
  const char *label;
  DWORD type;
  std::string bytes;  // "(none)": no value
  bool marked;
  bool readFails = false;
};
const std::string kZeros(250, '\0');
const StartCase kStarts[] = {
    {"", REG_SZ, std::string("start\0", 6), true},
    {"", REG_SZ, std::string("Start\0", 6), true},
    {"", REG_SZ, std::string("START\0", 6), true},
    {"", REG_SZ, std::string("sTaRt\0", 6), true},
    {"", REG_EXPAND_SZ, std::string("start\0", 6), true},
    {"", REG_MULTI_SZ, std::string("start\0\0", 7), true},
    {"", REG_BINARY, std::string("start\0", 6), true},
    {"no zero byte", REG_DWORD, std::string("START", 5), true},
    {"no zero byte", REG_BINARY, std::string("start", 5), true},
    {"", REG_SZ, std::string("start \0", 7), false},
    {"", REG_SZ, std::string("starts\0", 7), false},
    {"", REG_SZ, std::string(" start\0", 7), false},
    {"", REG_SZ, std::string("star\0", 5), false},
    {"no zero byte", REG_BINARY, std::string("sta", 3), false},
    {"", REG_SZ, std::string("Complete\0", 9), false},
    {"", REG_SZ, std::string("", 0), false},
    {"only A to Z are lowered", REG_SZ, std::string("st\xC1rt\0", 6), false},
    {"255 bytes: fits the read", REG_SZ, "start" + kZeros, true},
    {"256 bytes: refused", REG_SZ, "start" + kZeros + std::string(1, '\0'), false},
    {"", REG_SZ, std::string(255, 'x'), false},
    {"", REG_BINARY, std::string(256, 'x'), false},
    {"key without the value", REG_SZ, "(none)", false},
    {"failed read", REG_SZ, std::string("start\0", 6), false, true},
};
using StartTest = MarkerTest<StartCase>;
TEST_P(StartTest, StartIsRecognisedInAnyLetterCaseAndAnyValueType) {
  if (C().bytes != "(none)") m().SetValue(kMarkerKey, kMarkerValue, C().type, C().bytes);
  if (C().readFails) m().faults.operation = "RegQueryValueExA";
  EXPECT_EQ(C().marked, IsStartMarked() != FALSE)
      << "type " << C().type << ", " << C().bytes.size() << " bytes: " << C().bytes.substr(0, 12);
  EXPECT_EQ(0u, Count("RegSetValueExA")) << "reading never writes";
  ExpectKeysClosed();
}
INSTANTIATE_TEST_SUITE_P(Rows, StartTest, Rows({&kWinXp}, kStarts), RowName());

}  // namespace
