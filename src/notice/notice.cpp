#include "notice.h"

#include "../base/binding.h"
#include "../base/text.h"
#include "../files/files.h"

const CHAR STUB_WINDOW_CLASS[] = "HALUNSHOW_STUB";
static const CHAR UNKNOWN_PROCESS_NAME[] = "unknown";

static_assert(sizeof(((PROCESSENTRY32 *)0)->szExeFile) == PROCESS_NAME_CAPACITY,
              "a snapshot's process name fills a field of PROCESS_NAME_CAPACITY");

enum { PROCESS_NOTICE_ACCESS = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE };

// The module walk is bound too, though never called: a KERNEL32 without it
// is not one whose snapshot the tool trusts.
BOOL BindToolhelp(void) {
  ProcessApi *api = &g_run.processApi;
  AnyProc procs[TOOLHELP_FUNCTION_COUNT];
  api->library = BindFunctions(BIND_TOOLHELP, procs);
  if (api->library == NULL) return FALSE;
  api->CreateToolhelp32Snapshot = (CreateToolhelp32SnapshotProc)procs[TOOLHELP_SNAPSHOT];
  api->Process32First = (Process32FirstProc)procs[TOOLHELP_PROCESS_FIRST];
  api->Process32Next = (Process32NextProc)procs[TOOLHELP_PROCESS_NEXT];
  return TRUE;
}

BOOL BindPsapi(void) {
  ProcessApi *api = &g_run.processApi;
  AnyProc procs[PSAPI_FUNCTION_COUNT];
  api->library = BindFunctions(BIND_PSAPI, procs);
  if (api->library == NULL) return FALSE;
  api->EnumProcesses = (EnumProcessesProc)procs[PSAPI_ENUM_PROCESSES];
  api->EnumProcessModules = (EnumProcessModulesProc)procs[PSAPI_ENUM_MODULES];
  api->GetModuleBaseNameA = (GetModuleBaseNameAProc)procs[PSAPI_BASE_NAME];
  return TRUE;
}

void UnbindProcessApi(void) {
  if (g_run.processApi.library == NULL) return;
  FreeLibrary(g_run.processApi.library);
  g_run.processApi.library = NULL;
}

// A copy that is hung, or does not handle the notice within
// NOTICE_TIMEOUT_MS, cannot hold the caller up: it goes on, and the copy's
// files are then handled as those of a copy that stays. The copy is opened
// for the wait before the notice, so that it cannot end and its identifier
// be reused in between.
void NoticeWindow(HWND window, DWORD id) {
  if (g_run.noticedCopyCount < NOTICED_COPY_CAPACITY) {
    HANDLE copy = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (copy != NULL) g_run.noticedCopies[g_run.noticedCopyCount++] = copy;
  }
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(window, NOTICE_MESSAGE, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                      NOTICE_TIMEOUT_MS, &answer);
}

// Finds the stub window anew and, when there is one, sends it the notice on
// behalf of the running copy `id`.
static void SendNotice(DWORD id) {
  HWND window = FindWindowA(STUB_WINDOW_CLASS, NULL);
  if (window != NULL) NoticeWindow(window, id);
}

void WaitForNotifiedCopies(void) {
  DWORD count = g_run.noticedCopyCount;
  if (count == 0) return;
  // A copy that answered the notice may still be ending, its executable
  // still mapped, when the run would delete it.
  DWORD started = GetTickCount();
  for (DWORD i = 0; i < count; ++i) {
    DWORD elapsed = GetTickCount() - started;
    DWORD left = elapsed < NOTICE_WAIT_MS ? NOTICE_WAIT_MS - elapsed : 0;
    WaitForSingleObject(g_run.noticedCopies[i], left);
    CloseHandle(g_run.noticedCopies[i]);
    g_run.noticedCopies[i] = NULL;
  }
  g_run.noticedCopyCount = 0;
}

// Walks the process snapshot of the toolhelp functions BindToolhelp bound.
// With `notify`, sends the notice to every process started from the
// installed executable's path; without, counts those and the processes named
// by the resident's base name alone (as toolhelp names every process on NT).
static DWORD WalkSnapshot(BOOL notify) {
  ProcessApi *api = &g_run.processApi;
  DWORD found = 0;
  HANDLE snapshot = api->CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
  PROCESSENTRY32 entry;
  ZeroBytes(&entry, sizeof(entry));
  entry.dwSize = sizeof(entry);
  BOOL more = api->Process32First(snapshot, &entry);
  while (more) {
    if (entry.th32ProcessID != 0) {
      // The fold reads at most PROCESS_NAME_CAPACITY - 1 bytes: a name the
      // call leaves unended is cut there.
      CHAR folded[PROCESS_NAME_CAPACITY];
      FoldPathCase(entry.szExeFile, folded, PROCESS_NAME_CAPACITY);
      if (lstrcmpA(folded, g_run.paths.installedExe) == 0) {
        ++found;
        if (notify) SendNotice(entry.th32ProcessID);
      } else if (!notify && lstrcmpA(folded, RESIDENT_BASE_NAME) == 0) {
        ++found;
      }
    }
    entry.dwSize = sizeof(entry);
    more = api->Process32Next(snapshot, &entry);
  }
  if (snapshot != INVALID_HANDLE_VALUE && snapshot != NULL) CloseHandle(snapshot);
  return found;
}

void NotifyBySnapshot(void) { WalkSnapshot(TRUE); }

DWORD CountBySnapshot(void) { return WalkSnapshot(FALSE); }

void NotifyByProcessId(DWORD id) {
  ProcessApi *api = &g_run.processApi;
  CHAR name[PROCESS_NAME_CAPACITY];
  CHAR folded[PROCESS_NAME_CAPACITY];
  ZeroBytes(name, sizeof(name));
  lstrcpyA(name, UNKNOWN_PROCESS_NAME);

  HANDLE process = OpenProcess(PROCESS_NOTICE_ACCESS, FALSE, id);
  if (process != NULL) {
    HMODULE mainModule = NULL;
    DWORD needed = 0;
    if (api->EnumProcessModules(process, &mainModule, sizeof(mainModule), &needed))
      api->GetModuleBaseNameA(process, mainModule, name, PROCESS_NAME_CAPACITY);
  }
  // A name the call leaves unended is cut by the fold, as above.
  FoldPathCase(name, folded, PROCESS_NAME_CAPACITY);
  if (lstrcmpA(folded, RESIDENT_BASE_NAME) == 0) SendNotice(id);
  if (process != NULL) CloseHandle(process);
}
