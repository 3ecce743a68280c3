// halunmsi.dll: the status-mapping custom action of a Windows Installer
// package that ships halunupd.exe. Run deferred, after the staged files are
// in place, it runs the tool named by its CustomActionData, waits for it,
// writes one line with the status and its meaning to the installer's log and
// turns the status into the installation's result: success, success with a
// restart at the end, or failure (1603, rollback). It carries no C runtime.
#include "msica.h"

// Writes one line to the installer's log: `format` with [1] and [2] replaced
// by `number` and `text`.
static void LogLine(MSIHANDLE install, LPCSTR format, INT number, LPCSTR text) {
  MSIHANDLE record = MsiCreateRecord(2);
  if (record == 0) return;
  MsiRecordSetStringA(record, 0, format);
  MsiRecordSetInteger(record, 1, number);
  MsiRecordSetStringA(record, 2, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

// Runs the tool at `path` hidden, from the system directory, and waits for
// it. FALSE, with the error in *exitCode, when it cannot be started.
static BOOL RunTool(LPCSTR path, DWORD *exitCode) {
  CHAR command[COMMAND_CAPACITY];
  CHAR systemDir[PATH_CAPACITY];
  // `path` is shorter than PATH_CAPACITY: with its quotes it fits.
  lstrcpyA(command, "\"");
  lstrcatA(command, path);
  lstrcatA(command, "\"");
  // The product the tool starts inherits this directory: one that stays.
  UINT length = GetSystemDirectoryA(systemDir, PATH_CAPACITY);
  if (length == 0 || length >= PATH_CAPACITY) systemDir[0] = 0;

  STARTUPINFOA startup;
  PROCESS_INFORMATION started;
  memset(&startup, 0, sizeof(startup));
  memset(&started, 0, sizeof(started));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;  // its console window
  if (!CreateProcessA(path, command, NULL, NULL, FALSE, 0, NULL,
                      systemDir[0] != 0 ? systemDir : NULL, &startup, &started)) {
    *exitCode = GetLastError();
    return FALSE;
  }
  CloseHandle(started.hThread);
  if (WaitForSingleObject(started.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(started.hProcess, exitCode))
    *exitCode = (DWORD)-2;  // no status to be had: not one the tool ends with
  CloseHandle(started.hProcess);
  return TRUE;
}

extern "C" {

BOOL WINAPI HalunmsiDllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// The custom action (DllEntry RunHalunupd). CustomActionData: the full path
// of halunupd.exe.
UINT WINAPI RunHalunupd(MSIHANDLE install) {
  CHAR path[PATH_CAPACITY];
  DWORD size = PATH_CAPACITY;
  path[0] = 0;
  if (MsiGetPropertyA(install, "CustomActionData", path, &size) != ERROR_SUCCESS ||
      path[0] == 0) {
    LogLine(install,
            "halunupd.exe was not started: CustomActionData must be its path, shorter than [1]"
            " characters; it reads '[2]'",
            PATH_CAPACITY, path);
    return INSTALL_FAILURE;
  }
  DWORD exitCode = 0;
  if (!RunTool(path, &exitCode)) {
    LogLine(install, "halunupd.exe could not be started: error [1] for [2]", (INT)exitCode, path);
    return INSTALL_FAILURE;
  }
  const StatusRow *row = VerdictOn(exitCode);
  LogLine(install, "halunupd.exe ended with status [1]: [2]", (INT)exitCode, row->meaning);
  if (row->verdict == VERDICT_FAILED) return INSTALL_FAILURE;
  if (row->verdict == VERDICT_RESTART) MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
  return ERROR_SUCCESS;
}
}
