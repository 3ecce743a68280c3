#include "state.h"

#include "text.h"

RunState g_run;

void ResetRunState(void) { ZeroBytes(&g_run, sizeof(g_run)); }
