// The run procedure: classifies the platform and chooses between the courses
// of a run. The top of the tool: it calls every module below it.
#ifndef HALUNUPD_RUN_RUN_H
#define HALUNUPD_RUN_RUN_H

#include "../base/state.h"

// Runs the tool once and returns the status that becomes the exit code.
RunStatus RunUpgrade(void);

#endif
