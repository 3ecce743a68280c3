// Bounded text helpers over the ANSI string functions, and the string table.
#ifndef HALUNUPD_BASE_TEXT_H
#define HALUNUPD_BASE_TEXT_H

#include "../platform/win32.h"

// Numbers of the texts in the program's string table.
enum {
  TEXT_RENAME_SECTION = 1,
  TEXT_RENAME_LIBRARY = 2,
  TEXT_RENAME_EXECUTABLE = 4,
  TEXT_RENAME_FILE = 5,
  TEXT_MINIMUM_VERSION = 20,
  TEXT_MARKER_KEY = 21,
  TEXT_MARKER_VALUE = 22,
  TEXT_MARKER_COMPLETE = 23,
  TEXT_MARKER_START = 24,
  TEXT_RESTART_ARGUMENT = 30
};

// Loads text `number` of the string table of g_run.textModule into `buffer`, cut to
// capacity - 1 characters and ended with a zero byte; an unknown number
// leaves an empty text.
void LoadText(UINT number, LPSTR buffer, int capacity);

// Copies `source` into `destination` of `capacity` bytes when it fits whole;
// otherwise leaves `destination` empty and returns FALSE.
BOOL CopyText(LPSTR destination, int capacity, LPCSTR source);

// Appends `source` to the text in `destination` when the result fits whole;
// otherwise leaves `destination` unchanged and returns FALSE.
BOOL AppendText(LPSTR destination, int capacity, LPCSTR source);

// Compares two texts byte by byte as unsigned bytes: negative when `first`
// sorts before `second`, 0 when identical, positive after.
int CompareBytes(LPCSTR first, LPCSTR second);

// Sets `count` bytes at `destination` to zero.
void ZeroBytes(void *destination, DWORD count);

#endif
