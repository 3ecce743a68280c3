// Entry point of halunupd.exe. The program carries no C runtime: this is the
// first code that runs, and it provides the two memory routines the compiler
// may call on its own.
#include "../platform/record_sizes.h"
#include "run.h"

extern "C" {

void *memset(void *destination, int value, __SIZE_TYPE__ count) {
  volatile BYTE *bytes = (volatile BYTE *)destination;
  while (count-- != 0) *bytes++ = (BYTE)value;
  return destination;
}

void *memcpy(void *destination, const void *source, __SIZE_TYPE__ count) {
  volatile BYTE *to = (volatile BYTE *)destination;
  const BYTE *from = (const BYTE *)source;
  while (count-- != 0) *to++ = *from++;
  return destination;
}

// The run's signed status becomes the 32-bit exit code, so -1 exits as
// 0xFFFFFFFF.
void __stdcall HalunupdEntry(void) {
  INT status = RunUpgrade();
  ExitProcess((UINT)status);
}
}
