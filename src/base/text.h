// Bounded text helpers over the ANSI string functions, and the string table.
#ifndef HALUNUPD_BASE_TEXT_H
#define HALUNUPD_BASE_TEXT_H

#include "../platform/win32.h"

// Numbers of the texts in the program's string table, named by its rows.
enum {
#define HALUNUPD_TEXT(name, number, text) name = number,
#include "../resources/strings.inc"
#undef HALUNUPD_TEXT
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

// The letter `c` of A to Z in lower case; any other byte as it is (the
// case folding of the file system's names for ASCII).
CHAR LowerAscii(CHAR c);

// Sets `count` bytes at `destination` to zero.
void ZeroBytes(void *destination, DWORD count);

#endif
