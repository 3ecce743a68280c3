// What the custom action makes of the tool's exit code: the verdict on the
// installation and the meaning it logs. Built into halunmsi.dll and, on the
// host, into the tests, which hold it against what the tool does on the
// simulated machine.
#ifndef HALUNUPD_MSICA_VERDICT_H
#define HALUNUPD_MSICA_VERDICT_H

#include "../base/state.h"

enum Verdict { VERDICT_DONE, VERDICT_RESTART, VERDICT_FAILED };

struct StatusRow {
  INT status;
  Verdict verdict;
  const CHAR *meaning;
};

// The quoted path of the tool, with its zero byte.
enum { COMMAND_CAPACITY = PATH_CAPACITY + 2 };
// What a custom action returns to fail the installation (ERROR_INSTALL_FAILURE).
enum { INSTALL_FAILURE = 1603 };

// The row for the exit code `exitCode` of the tool, with the run state
// prepared for this machine: a 4 is a restart only while a restart-time
// instruction names a staged copy (the tool's own reading of them), whatever
// made the tool leave nothing scheduled otherwise.
const StatusRow *VerdictOn(DWORD exitCode);

#endif
