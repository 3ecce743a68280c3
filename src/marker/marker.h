// Completion record: the registry value that marks a finished run and that,
// on Windows 98/ME, can end a run before it starts.
#ifndef HALUNUPD_MARKER_MARKER_H
#define HALUNUPD_MARKER_MARKER_H

#include "../base/state.h"

// Writes "Complete" into the marker value when its key can be opened.
void MarkRunComplete(void);

// TRUE when the marker value reads "start" in any letter case.
BOOL IsStartMarked(void);

#endif
