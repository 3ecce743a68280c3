#include "text.h"

#include "state.h"

void LoadText(UINT number, LPSTR buffer, int capacity) {
  buffer[0] = 0;
  if (LoadStringA(g_run.textModule, number, buffer, capacity) <= 0) buffer[0] = 0;
}

BOOL CopyText(LPSTR destination, int capacity, LPCSTR source) {
  destination[0] = 0;
  return AppendText(destination, capacity, source);
}

BOOL AppendText(LPSTR destination, int capacity, LPCSTR source) {
  if (lstrlenA(destination) + lstrlenA(source) >= capacity) return FALSE;
  lstrcatA(destination, source);
  return TRUE;
}

int CompareBytes(LPCSTR first, LPCSTR second) {
  const BYTE *a = (const BYTE *)first;
  const BYTE *b = (const BYTE *)second;
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return (int)*a - (int)*b;
}

CHAR LowerAscii(CHAR c) { return (c >= 'A' && c <= 'Z') ? (CHAR)(c - 'A' + 'a') : c; }

void ZeroBytes(void *destination, DWORD count) {
  volatile BYTE *bytes = (volatile BYTE *)destination;
  while (count-- != 0) *bytes++ = 0;
}
