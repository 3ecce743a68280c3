// The notice by the stub windows the caller can see, for the custom action
// that runs in the user's session (halunmsi.dll); the tool finds the running
// copies by their processes instead.
#include "notice.h"

DWORD NotifyByWindows(void) {
  HWND sent[NOTICED_WINDOW_CAPACITY];
  DWORD count = 0;
  while (count < NOTICED_WINDOW_CAPACITY) {
    HWND window = FindWindowA(STUB_WINDOW_CLASS, NULL);
    if (window == NULL) break;
    // The same window again: its copy stays, and no other can be reached.
    for (DWORD i = 0; i < count; ++i)
      if (sent[i] == window) return count;
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    NoticeWindow(window, id);
    sent[count++] = window;
  }
  return count;
}
