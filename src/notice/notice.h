// Running-instance notice: finds running copies of the resident executable
// and sends its stub window the notice before the files are replaced.
#ifndef HALUNUPD_NOTICE_NOTICE_H
#define HALUNUPD_NOTICE_NOTICE_H

#include "../base/state.h"

// The message the resident's stub window receives.
enum { NOTICE_MESSAGE = WM_USER + 2 };
// The longest a window is given to handle the notice; the longest the run
// waits, for all the notified copies together, for them to end.
enum { NOTICE_TIMEOUT_MS = 30000, NOTICE_WAIT_MS = 5000 };
extern const CHAR STUB_WINDOW_CLASS[];  // "HALUNSHOW_STUB"
// Stub windows sent the notice by one search of the windows.
enum { NOTICED_WINDOW_CAPACITY = 64 };

// Binds the toolhelp functions of KERNEL32.dll (Windows 98/ME) into
// g_run.processApi. FALSE, with nothing bound, when one is missing.
BOOL BindToolhelp(void);
// Binds the process functions of the system directory's psapi.dll (NT 5+)
// into g_run.processApi. FALSE, with nothing bound, when one is missing.
BOOL BindPsapi(void);
// Releases the library of g_run.processApi, if one is bound.
void UnbindProcessApi(void);
// Notifies every process started from the installed executable's path, with
// the toolhelp functions BindToolhelp bound.
void NotifyBySnapshot(void);
// Sends `window` the notice on behalf of the running copy `id`, opened first
// for the wait (SYNCHRONIZE) while there is room among the noticed copies.
void NoticeWindow(HWND window, DWORD id);
// The running copies of the resident in the toolhelp snapshot (bound by
// BindToolhelp): started from the installed executable's path, or named by
// its base name alone.
DWORD CountBySnapshot(void);
// Notifies the running copies by the stub windows the caller can see: each
// window found, as long as it is not one already sent the notice, is sent it
// for its process, which is opened for the wait; at most
// NOTICED_WINDOW_CAPACITY windows. Returns how many were sent the notice.
DWORD NotifyByWindows(void);
// Notifies the process `id` when its main module is the resident executable.
void NotifyByProcessId(DWORD id);
// Waits for the copies that were sent the notice to end, at most
// NOTICE_WAIT_MS for all of them together, and closes their handles. A copy
// still running then is left running.
void WaitForNotifiedCopies(void);

#endif
