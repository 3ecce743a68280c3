#include "binding.h"

#include "state.h"
#include "text.h"

static const CHAR KERNEL32_LIBRARY[] = "KERNEL32.dll";
static const CHAR ADVAPI32_LIBRARY[] = "ADVAPI32.dll";
static const CHAR VERSION_LIBRARY[] = "\\version.dll";
static const CHAR PSAPI_LIBRARY[] = "\\psapi.dll";

struct Binding {
  BindingSet set;
  LPCSTR library;
  LPCSTR function;
};

// Every function the tool binds at run time, set by set in the order each
// set hands them back.
static const Binding BINDINGS[] = {
    {BIND_VERSION, VERSION_LIBRARY, "GetFileVersionInfoSizeA"},
    {BIND_VERSION, VERSION_LIBRARY, "GetFileVersionInfoA"},
    {BIND_VERSION, VERSION_LIBRARY, "VerQueryValueA"},
    {BIND_TOOLHELP, KERNEL32_LIBRARY, "CreateToolhelp32Snapshot"},
    {BIND_TOOLHELP, KERNEL32_LIBRARY, "Process32First"},
    {BIND_TOOLHELP, KERNEL32_LIBRARY, "Process32Next"},
    {BIND_TOOLHELP, KERNEL32_LIBRARY, "Module32First"},
    {BIND_TOOLHELP, KERNEL32_LIBRARY, "Module32Next"},
    {BIND_PSAPI, PSAPI_LIBRARY, "EnumProcesses"},
    {BIND_PSAPI, PSAPI_LIBRARY, "EnumProcessModules"},
    {BIND_PSAPI, PSAPI_LIBRARY, "GetModuleBaseNameA"},
    {BIND_WOW64, KERNEL32_LIBRARY, "IsWow64Process"},
    {BIND_WOW64, KERNEL32_LIBRARY, "GetSystemWow64DirectoryA"},
    {BIND_TOKEN, ADVAPI32_LIBRARY, "OpenProcessToken"},
    {BIND_TOKEN, ADVAPI32_LIBRARY, "GetTokenInformation"},
};
enum { BINDING_COUNT = sizeof(BINDINGS) / sizeof(BINDINGS[0]) };
static_assert(BINDING_COUNT == VERSION_FUNCTION_COUNT + TOOLHELP_FUNCTION_COUNT +
                                   PSAPI_FUNCTION_COUNT + WOW64_FUNCTION_COUNT +
                                   TOKEN_FUNCTION_COUNT,
              "one row per bound function");

// NULL when the library cannot be loaded (a handle below 32 counts as a
// failure, as Win32s reports one).
static HMODULE LoadBoundLibrary(LPCSTR name) {
  enum { LOADED_LIBRARY_MINIMUM = 32 };
  CHAR path[PATH_CAPACITY];
  if (name[0] == '\\') {
    if (!CopyText(path, PATH_CAPACITY, g_run.paths.systemDir) ||
        !AppendText(path, PATH_CAPACITY, name))
      return NULL;
    name = path;
  }
  HMODULE library = LoadLibraryA(name);
  return (ULONG_PTR)library < LOADED_LIBRARY_MINIMUM ? NULL : library;
}

HMODULE BindFunctions(BindingSet set, AnyProc *procs) {
  int first = 0;
  while (BINDINGS[first].set != set) ++first;
  HMODULE library = LoadBoundLibrary(BINDINGS[first].library);
  BOOL complete = library != NULL;
  // Every function of the set is looked up, even after one is missing.
  for (int i = 0; first + i < BINDING_COUNT && BINDINGS[first + i].set == set; ++i) {
    procs[i] = NULL;
    if (library != NULL)
      procs[i] = (AnyProc)(void *)GetProcAddress(library, BINDINGS[first + i].function);
    if (procs[i] == NULL) complete = FALSE;
  }
  if (complete) return library;
  // A library that cannot give every function it is asked for is of no use.
  if (library != NULL) FreeLibrary(library);
  return NULL;
}
