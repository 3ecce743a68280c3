// The sizes of the Win32 records the tool hands to the system. A record of
// the wrong size is refused by the system (or, worse, overrun by it), so
// every build pins them: the shipped 32-bit build to the sizes of 32-bit
// Windows, a 64-bit build (the x86_64 Windows build and the host's simulated
// declarations alike) to those of 64-bit Windows.
#ifndef HALUNUPD_PLATFORM_RECORD_SIZES_H
#define HALUNUPD_PLATFORM_RECORD_SIZES_H

#include "win32.h"

// Pointer width of the build: 4 on 32-bit Windows, 8 on 64-bit.
enum { RECORD_POINTER_SIZE = sizeof(void *) };
static_assert(RECORD_POINTER_SIZE == 4 || RECORD_POINTER_SIZE == 8, "unknown pointer width");

#define HALUNUPD_RECORD_SIZE(size32, size64) (RECORD_POINTER_SIZE == 4 ? (size32) : (size64))

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(sizeof(WIN32_FIND_DATAA) == 320, "WIN32_FIND_DATAA");
static_assert(sizeof(FILETIME) == 8, "FILETIME");
static_assert(sizeof(PROCESSENTRY32) == HALUNUPD_RECORD_SIZE(296, 304), "PROCESSENTRY32");
static_assert(sizeof(STARTUPINFOA) == HALUNUPD_RECORD_SIZE(68, 104), "STARTUPINFOA");
static_assert(sizeof(PROCESS_INFORMATION) == HALUNUPD_RECORD_SIZE(16, 24), "PROCESS_INFORMATION");
static_assert(sizeof(SECURITY_ATTRIBUTES) == HALUNUPD_RECORD_SIZE(12, 24), "SECURITY_ATTRIBUTES");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WORD) == 2, "integer widths");

#undef HALUNUPD_RECORD_SIZE

#endif
