#include "verdict.h"

#include "../replace/replace.h"

// The verdict on each status of the tool, for a setup that has just staged
// both files (so 0 means the tool did not find them).
static const StatusRow STATUS_ROWS[] = {
#define HALUNUPD_STATUS(name, code, treat, starts, done, meaning) {name, VERDICT_##treat, meaning},
#include "../base/statuses.inc"
#undef HALUNUPD_STATUS
};
// A 4 with nothing named for the restart.
static const StatusRow UNSCHEDULED_ROW = {
    RUN_RESTART_NEEDED, VERDICT_FAILED,
    "restart needed, but nothing is scheduled for it: the update was not installed"};
// Any other exit code.
static const StatusRow UNKNOWN_ROW = {0, VERDICT_FAILED, "halunupd.exe did not run to its end"};

enum { STATUS_ROW_COUNT = sizeof(STATUS_ROWS) / sizeof(STATUS_ROWS[0]) };

const StatusRow *VerdictOn(DWORD exitCode) {
  INT status = (INT)exitCode;
  for (int i = 0; i < STATUS_ROW_COUNT; ++i) {
    if (STATUS_ROWS[i].status != status) continue;
    if (status == RUN_RESTART_NEEDED && StagedCopiesNamedAtRestart() == 0) return &UNSCHEDULED_ROW;
    return &STATUS_ROWS[i];
  }
  return &UNKNOWN_ROW;
}
