#include "support/scenario.h"

#include "files/files.h"

namespace testing_support {

const char kMarkerKey[] = "Software\\Morvane of Brastow\\Morvane Lumetra 4.5";
const char kMarkerValue[] = "Vastel";

std::vector<const Family *> AllFamilies() {
  return std::vector<const Family *>(std::begin(kFamilies), std::end(kFamilies));
}

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
