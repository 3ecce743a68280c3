#include "files.h"

// Both files are read a chunk at a time into static buffers: a frame this
// large would need the stack probe that only a C runtime provides.
enum { COMPARE_CHUNK = 4096 };
static BYTE s_installedChunk[COMPARE_CHUNK];
static BYTE s_stagedChunk[COMPARE_CHUNK];

// Open for reading beside any program that reads or writes the file, as the
// running resident and a virus scanner do. Windows 95/98 know no sharing of
// deletion.
static HANDLE OpenForReading(LPCSTR path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

// Reads the next chunk of `file` as far as it goes: fewer bytes than a chunk
// only at the end of the file. FALSE when a read fails.
static BOOL ReadChunk(HANDLE file, BYTE *chunk, DWORD *length) {
  *length = 0;
  while (*length < COMPARE_CHUNK) {
    DWORD got = 0;
    if (!ReadFile(file, chunk + *length, COMPARE_CHUNK - *length, &got, NULL)) return FALSE;
    if (got == 0) break;
    *length += got;
  }
  return TRUE;
}

static FileMatch CompareOpenFiles(HANDLE installed, HANDLE staged) {
  // Set at the first byte where the installed copy parts from the staged one:
  // only zero bytes may follow in a copy that was cut short there.
  BOOL parted = FALSE;
  for (;;) {
    DWORD installedLength = 0;
    DWORD stagedLength = 0;
    if (!ReadChunk(installed, s_installedChunk, &installedLength) ||
        !ReadChunk(staged, s_stagedChunk, &stagedLength))
      return MATCH_UNKNOWN;
    if (installedLength > stagedLength) return MATCH_DIFFERENT;
    for (DWORD i = 0; i < installedLength; ++i) {
      if (!parted && s_installedChunk[i] != s_stagedChunk[i]) parted = TRUE;
      if (parted && s_installedChunk[i] != 0) return MATCH_DIFFERENT;
    }
    // The installed copy ended before the staged one.
    if (installedLength < stagedLength) return MATCH_TORN;
    if (installedLength == 0) return parted ? MATCH_TORN : MATCH_SAME;
  }
}

FileMatch CompareWithStaged(LPCSTR installedPath, LPCSTR stagedPath) {
  FileMatch match = MATCH_UNKNOWN;
  HANDLE staged = INVALID_HANDLE_VALUE;
  HANDLE installed = OpenForReading(installedPath);
  if (installed != INVALID_HANDLE_VALUE) staged = OpenForReading(stagedPath);
  if (staged != INVALID_HANDLE_VALUE) match = CompareOpenFiles(installed, staged);
  if (staged != INVALID_HANDLE_VALUE) CloseHandle(staged);
  if (installed != INVALID_HANDLE_VALUE) CloseHandle(installed);
  return match;
}
