// Entry point of halunupd.exe. The program carries no C runtime: this is the
// first code that runs.
#include "../platform/record_sizes.h"
#include "run.h"

extern "C" {

// The run's signed status becomes the 32-bit exit code, so -1 exits as
// 0xFFFFFFFF.
void __stdcall HalunupdEntry(void) {
  INT status = RunUpgrade();
  ExitProcess((UINT)status);
}
}
