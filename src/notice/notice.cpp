#include "notice.h"

#include "../files/files.h"
#include "../run/run.h"
#include "../run/text.h"

const CHAR STUB_WINDOW_CLASS[] = "HALUNSHOW_STUB";
static const CHAR TOOLHELP_LIBRARY_NAME[] = "KERNEL32.dll";
static const CHAR PSAPI_LIBRARY_NAME[] = "\\psapi.dll";
static const CHAR UNKNOWN_PROCESS_NAME[] = "unknown";

enum { PROCESS_NOTICE_ACCESS = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE };

void BindToolhelp(void) {
  ProcessApi *api = &g_run.processApi;
  api->ready = 0;
  api->toolhelpLibrary = LoadBoundLibrary(TOOLHELP_LIBRARY_NAME);
  if (api->toolhelpLibrary == NULL) return;
  api->CreateToolhelp32Snapshot =
      (CreateToolhelp32SnapshotProc)BindProc(api->toolhelpLibrary, "CreateToolhelp32Snapshot");
  api->Process32First = (Process32FirstProc)BindProc(api->toolhelpLibrary, "Process32First");
  api->Process32Next = (Process32NextProc)BindProc(api->toolhelpLibrary, "Process32Next");
  api->Module32First = (Module32FirstProc)BindProc(api->toolhelpLibrary, "Module32First");
  api->Module32Next = (Module32NextProc)BindProc(api->toolhelpLibrary, "Module32Next");
  if (api->CreateToolhelp32Snapshot && api->Process32First && api->Process32Next &&
      api->Module32First && api->Module32Next)
    api->ready = 1;
}

void BindPsapi(void) {
  ProcessApi *api = &g_run.processApi;
  api->ready = 0;
  // Loaded by full path: a bare name would search the tool's own directory
  // first and could load a library planted beside it.
  api->psapiLibrary = LoadBoundLibrary(PSAPI_LIBRARY_NAME);
  if (api->psapiLibrary == NULL) return;
  api->EnumProcesses = (EnumProcessesProc)BindProc(api->psapiLibrary, "EnumProcesses");
  api->EnumProcessModules = (EnumProcessModulesProc)BindProc(api->psapiLibrary, "EnumProcessModules");
  api->GetModuleBaseNameA = (GetModuleBaseNameAProc)BindProc(api->psapiLibrary, "GetModuleBaseNameA");
  if (api->EnumProcesses && api->EnumProcessModules && api->GetModuleBaseNameA) {
    api->ready = 1;
    return;
  }
  // A library that lacks an entry point is of no use; it is not kept loaded.
  FreeLibrary(api->psapiLibrary);
  api->psapiLibrary = NULL;
}

void UnbindProcessApi(void) {
  ProcessApi *api = &g_run.processApi;
  HMODULE *library = NULL;
  if (g_run.platformCode == PLATFORM_WIN98ME)
    library = &api->toolhelpLibrary;
  else if (g_run.platformCode == PLATFORM_NT5)
    library = &api->psapiLibrary;
  if (library == NULL || *library == NULL) return;
  FreeLibrary(*library);
  *library = NULL;
  api->ready = 0;
}

// Finds the stub window anew and, when there is one, sends it the notice on
// behalf of the running copy `id`. A copy that is hung, or does not handle
// the notice within NOTICE_TIMEOUT_MS, cannot hold the run up: the run goes
// on, and its files are then handled as those of a copy that stays. The copy
// is opened for the wait before the notice, so that it cannot end and its
// identifier be reused in between.
static void SendNotice(DWORD id) {
  HWND window = FindWindowA(STUB_WINDOW_CLASS, NULL);
  if (window == NULL) return;
  if (g_run.noticedCopyCount < NOTICED_COPY_CAPACITY) {
    HANDLE copy = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (copy != NULL) g_run.noticedCopies[g_run.noticedCopyCount++] = copy;
  }
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(window, NOTICE_MESSAGE, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                      NOTICE_TIMEOUT_MS, &answer);
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

void NotifyBySnapshot(void) {
  ProcessApi *api = &g_run.processApi;
  if (!api->ready) return;
  HANDLE snapshot = api->CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
  PROCESSENTRY32 entry;
  ZeroBytes(&entry, sizeof(entry));
  entry.dwSize = sizeof(entry);
  BOOL more = api->Process32First(snapshot, &entry);
  while (more) {
    if (entry.th32ProcessID != 0) {
      CHAR folded[PROCESS_NAME_CAPACITY];
      entry.szExeFile[MAX_PATH - 1] = 0;
      FoldPathCase(entry.szExeFile, folded, PROCESS_NAME_CAPACITY);
      if (lstrcmpA(folded, g_run.paths.installedExe) == 0) SendNotice(entry.th32ProcessID);
    }
    entry.dwSize = sizeof(entry);
    more = api->Process32Next(snapshot, &entry);
  }
  if (snapshot != INVALID_HANDLE_VALUE && snapshot != NULL) CloseHandle(snapshot);
}

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
  name[PROCESS_NAME_CAPACITY - 1] = 0;
  FoldPathCase(name, folded, PROCESS_NAME_CAPACITY);
  if (lstrcmpA(folded, RESIDENT_BASE_NAME) == 0) SendNotice(id);
  if (process != NULL) CloseHandle(process);
}
