// The custom action of the Windows Installer example against the tool: its
// verdict on each exit code, and on a 4 that it is a restart exactly where
// the tool schedules something for the restart.
#include <string>

#include "msica/verdict.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class MsicaTest : public SimTest {};

TEST_F(MsicaTest, VerdictOnEachExitCode) {
  // Rows: exit code, verdict. -1 arrives as 0xFFFFFFFF; anything else the
  // tool never ends with fails the installation.
  const struct {
    DWORD exitCode;
    Verdict verdict;
  } rows[] = {{0, VERDICT_FAILED},      {1, VERDICT_DONE},
              {2, VERDICT_DONE},        {3, VERDICT_DONE},
              {4, VERDICT_RESTART},     {0xFFFFFFFFu, VERDICT_FAILED},
              {5, VERDICT_FAILED},      {0xC0000005u, VERDICT_FAILED},
              {0xFFFFu, VERDICT_FAILED}};
  for (const auto &row : rows) {
    const StatusRow *got = VerdictOn(row.exitCode);
    EXPECT_EQ(row.verdict, got->verdict) << "exit code " << row.exitCode << ": " << got->meaning;
    EXPECT_NE(std::string(), got->meaning) << "exit code " << row.exitCode;
  }
}

using MsicaRestartTest = RowTest<NoCase>;
TEST_P(MsicaRestartTest, RestartOnlyWhereTheToolSchedules) {
  // An installed version below 4.42: a 4 that schedules whatever the
  // platform allows.
  Install("4.4");
  Stage("4.60");
  ASSERT_EQ(RUN_RESTART_NEEDED, RunUpgrade());
  const MachineState after = Snapshot();
  const bool scheduled = !after.moves.empty() || after.wininit;
  EXPECT_EQ(scheduled ? VERDICT_RESTART : VERDICT_FAILED, VerdictOn(RUN_RESTART_NEEDED)->verdict)
      << (scheduled ? "the tool scheduled" : "the tool scheduled nothing");
}
INSTANTIATE_TEST_SUITE_P(Families, MsicaRestartTest, Rows(AllFamilies(), kNoCase), RowName());

}  // namespace
