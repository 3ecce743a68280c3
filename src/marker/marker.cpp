#include "marker.h"

#include "../base/text.h"

// Opens the marker's key; it is never created.
static HKEY OpenMarkerKey(void) {
  CHAR keyPath[TEXT_CAPACITY];
  LoadText(TEXT_MARKER_KEY, keyPath, TEXT_LOAD_LIMIT);
  HKEY key = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return NULL;
  return key;
}

void MarkRunComplete(void) {
  CHAR valueName[TEXT_CAPACITY];
  CHAR complete[TEXT_CAPACITY];
  LoadText(TEXT_MARKER_VALUE, valueName, TEXT_LOAD_LIMIT);
  LoadText(TEXT_MARKER_COMPLETE, complete, TEXT_LOAD_LIMIT);
  HKEY key = OpenMarkerKey();
  if (key == NULL) return;
  RegSetValueExA(key, valueName, 0, REG_SZ, (const BYTE *)complete,
                 (DWORD)lstrlenA(complete) + 1);
  RegCloseKey(key);
}

BOOL IsStartMarked(void) {
  CHAR valueName[TEXT_CAPACITY];
  CHAR start[TEXT_CAPACITY];
  LoadText(TEXT_MARKER_VALUE, valueName, TEXT_LOAD_LIMIT);
  LoadText(TEXT_MARKER_START, start, TEXT_LOAD_LIMIT);
  HKEY key = OpenMarkerKey();
  if (key == NULL) return FALSE;

  CHAR value[TEXT_CAPACITY];
  DWORD type = 0;
  DWORD size = TEXT_LOAD_LIMIT;
  BOOL marked = FALSE;
  if (RegQueryValueExA(key, valueName, NULL, &type, (LPBYTE)value, &size) == ERROR_SUCCESS) {
    // The text ends where the bytes read end, whatever the stored type.
    if (size > TEXT_LOAD_LIMIT) size = TEXT_LOAD_LIMIT;
    value[size] = 0;
    for (DWORD i = 0; i < size; ++i) value[i] = LowerAscii(value[i]);
    marked = lstrcmpA(value, start) == 0;
  }
  RegCloseKey(key);
  return marked;
}
