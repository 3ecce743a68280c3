// The one place that declares the operating-system operations halunupd calls.
// On Windows it takes them from the system headers; on any other host it
// declares the same subset with the same signatures, implemented there by the
// simulated machine in src/platform/sim.
#ifndef HALUNUPD_PLATFORM_WIN32_H
#define HALUNUPD_PLATFORM_WIN32_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>
// The Windows Installer operations of the custom action DLL (msi.dll).
#include <msi.h>
#include <msiquery.h>

#else  // the simulated machine

#define WINAPI
#define WINAPIV
#define CALLBACK
#define CONST const
#define FALSE 0
#define TRUE 1
#ifndef NULL
#define NULL 0
#endif
#define MAX_PATH 260

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef short SHORT;
typedef unsigned int DWORD;  // 32 bits, as on Windows
typedef int LONG;            // 32 bits, as on Windows
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef UINT *PUINT;
typedef __SIZE_TYPE__ SIZE_T;
typedef __UINTPTR_TYPE__ UINT_PTR;
typedef __INTPTR_TYPE__ LONG_PTR;
typedef __UINTPTR_TYPE__ ULONG_PTR;
typedef __INTPTR_TYPE__ INT_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef DWORD_PTR *PDWORD_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef LONG LSTATUS;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

struct HINSTANCE__ { int unused; };
typedef HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
struct HWND__ { int unused; };
typedef HWND__ *HWND;
struct HKEY__ { int unused; };
typedef HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef INT_PTR(WINAPI *FARPROC)();

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_TIMEOUT 1460L
#define ERROR_DIRECTORY 267L
#define STILL_ACTIVE 259u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_BEGIN 0
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004

#define DETACHED_PROCESS 0x00000008
#define STARTF_USESHOWWINDOW 0x00000001
#define SW_HIDE 0

#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define SYNCHRONIZE 0x00100000

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define KEY_QUERY_VALUE 0x0001
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define WM_USER 0x0400
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002
#define TH32CS_SNAPALL 0x0000000F

#define HEAP_ZERO_MEMORY 0x00000008

#define TOKEN_QUERY 0x0008
typedef void *PSID;
enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA *LPWIN32_FIND_DATAA;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA *LPOSVERSIONINFOA;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
typedef STARTUPINFOA *LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION *LPPROCESS_INFORMATION;

struct PROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
};
typedef PROCESSENTRY32 *LPPROCESSENTRY32;

// KERNEL32
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPVOID lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPVOID lpOverlapped);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG *lpDistanceToMoveHigh,
                            DWORD dwMoveMethod);
BOOL WINAPI SetEndOfFile(HANDLE hFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetTickCount(void);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
DWORD WINAPI GetLastError(void);
void WINAPI ExitProcess(UINT uExitCode);
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
HANDLE WINAPI GetCurrentProcess(void);
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrlenA(LPCSTR lpString);
int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);

// USER32
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                  UINT uTimeout, PDWORD_PTR lpdwResult);
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);

// ADVAPI32
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE *lpData, DWORD cbData);
LSTATUS WINAPI RegCloseKey(HKEY hKey);

// msi.dll: what a custom action asks of the installation that runs it.
typedef DWORD MSIHANDLE;  // 32 bits, as on Windows
enum MSIRUNMODE {
  MSIRUNMODE_REBOOTATEND = 6,
  MSIRUNMODE_REBOOTNOW = 7,
  MSIRUNMODE_SCHEDULED = 16,
  MSIRUNMODE_ROLLBACK = 17,
  MSIRUNMODE_COMMIT = 18
};
enum INSTALLMESSAGE { INSTALLMESSAGE_INFO = 0x04000000 };
UINT WINAPI MsiGetPropertyA(MSIHANDLE hInstall, LPCSTR szName, LPSTR szValueBuf,
                            LPDWORD pcchValueBuf);
UINT WINAPI MsiSetMode(MSIHANDLE hInstall, MSIRUNMODE eRunMode, BOOL fState);
BOOL WINAPI MsiGetMode(MSIHANDLE hInstall, MSIRUNMODE eRunMode);
int WINAPI MsiProcessMessage(MSIHANDLE hInstall, INSTALLMESSAGE eMessageType, MSIHANDLE hRecord);
MSIHANDLE WINAPI MsiCreateRecord(UINT cParams);
UINT WINAPI MsiRecordSetStringA(MSIHANDLE hRecord, UINT iField, LPCSTR szValue);
UINT WINAPI MsiRecordSetInteger(MSIHANDLE hRecord, UINT iField, int iValue);
UINT WINAPI MsiCloseHandle(MSIHANDLE hAny);

#endif  // _WIN32

// Operations that are bound at run time by name rather than imported: the
// version functions from the system directory's version.dll, the toolhelp
// and WOW64 functions from KERNEL32.dll (older versions lack them), the token
// functions from ADVAPI32.dll (which Windows 95 may lack) and the process
// functions from psapi.dll.
typedef DWORD(WINAPI *GetFileVersionInfoSizeAProc)(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
typedef BOOL(WINAPI *GetFileVersionInfoAProc)(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                              LPVOID lpData);
typedef BOOL(WINAPI *VerQueryValueAProc)(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID *lplpBuffer,
                                         PUINT puLen);
typedef HANDLE(WINAPI *CreateToolhelp32SnapshotProc)(DWORD dwFlags, DWORD th32ProcessID);
typedef BOOL(WINAPI *Process32FirstProc)(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
typedef BOOL(WINAPI *Process32NextProc)(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
typedef BOOL(WINAPI *Module32FirstProc)(HANDLE hSnapshot, LPVOID lpme);
typedef BOOL(WINAPI *Module32NextProc)(HANDLE hSnapshot, LPVOID lpme);
typedef BOOL(WINAPI *EnumProcessesProc)(DWORD *lpidProcess, DWORD cb, LPDWORD lpcbNeeded);
typedef BOOL(WINAPI *EnumProcessModulesProc)(HANDLE hProcess, HMODULE *lphModule, DWORD cb,
                                             LPDWORD lpcbNeeded);
typedef DWORD(WINAPI *GetModuleBaseNameAProc)(HANDLE hProcess, HMODULE hModule, LPSTR lpBaseName,
                                              DWORD nSize);
typedef BOOL(WINAPI *IsWow64ProcessProc)(HANDLE hProcess, BOOL *Wow64Process);
typedef UINT(WINAPI *GetSystemWow64DirectoryAProc)(LPSTR lpBuffer, UINT uSize);
typedef BOOL(WINAPI *OpenProcessTokenProc)(HANDLE ProcessHandle, DWORD DesiredAccess,
                                           HANDLE *TokenHandle);
typedef BOOL(WINAPI *GetTokenInformationProc)(HANDLE TokenHandle,
                                              TOKEN_INFORMATION_CLASS TokenInformationClass,
                                              LPVOID TokenInformation, DWORD TokenInformationLength,
                                              LPDWORD ReturnLength);

// Keeps a procedure apart from its callers: inlined, or cloned for a constant
// argument, its accesses to a static buffer would each carry a relocation in
// the shipped program. Compilers without the whole-program form keep it out
// of line only.
#if defined(__has_attribute)
#if __has_attribute(noipa)
#define OUT_OF_LINE __attribute__((noipa))
#endif
#endif
#ifndef OUT_OF_LINE
#define OUT_OF_LINE __attribute__((noinline))
#endif

#endif  // HALUNUPD_PLATFORM_WIN32_H
