#include "support/scenario.h"

#include "base/text.h"
#include "files/files.h"

namespace testing_support {

// As the string table holds them (tests/strings_test.cpp checks the table).
const std::string kMarkerKey = sim::StringTable().at(TEXT_MARKER_KEY);
const std::string kMarkerValue = sim::StringTable().at(TEXT_MARKER_VALUE);

std::vector<const Family *> AllFamilies() { return Families(); }

void SimTest::FreshMachine() {
  sim::Reset();
  ResetRunState();
}

void SimTest::PrepareRun() {
  ClassifyPlatform();
  ASSERT_TRUE(PrepareManagedPaths()) << "system directory " << m().systemDir;
}

void SimTest::ExpectCleanExit() {
  EXPECT_EQ(0, m().OpenHandleCount()) << "open handles left";
  EXPECT_EQ(0, m().LiveAllocationCount()) << "heap blocks left";
  EXPECT_TRUE(m().Defects().empty())
      << "first defect: " << (m().Defects().empty() ? "" : m().Defects()[0]);
}

}  // namespace testing_support
