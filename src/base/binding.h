// Functions bound at run time by name rather than imported: the optional
// libraries (and KERNEL32 functions older versions lack) through one table of
// {library, function} bindings and one rule.
#ifndef HALUNUPD_BASE_BINDING_H
#define HALUNUPD_BASE_BINDING_H

#include "../platform/win32.h"

// An entry point as a plain function pointer, to be cast to its own type.
typedef void (*AnyProc)(void);

// The sets of functions bound together, each from one library, and the order
// in which each set's functions are handed back.
enum BindingSet { BIND_VERSION, BIND_TOOLHELP, BIND_PSAPI, BIND_WOW64, BIND_TOKEN };
enum { VERSION_GET_SIZE, VERSION_GET_INFO, VERSION_QUERY, VERSION_FUNCTION_COUNT };
enum {
  TOOLHELP_SNAPSHOT,
  TOOLHELP_PROCESS_FIRST,
  TOOLHELP_PROCESS_NEXT,
  TOOLHELP_MODULE_FIRST,
  TOOLHELP_MODULE_NEXT,
  TOOLHELP_FUNCTION_COUNT
};
enum { PSAPI_ENUM_PROCESSES, PSAPI_ENUM_MODULES, PSAPI_BASE_NAME, PSAPI_FUNCTION_COUNT };
enum { WOW64_IS_WOW64_PROCESS, WOW64_SYSTEM_DIRECTORY, WOW64_FUNCTION_COUNT };
enum { TOKEN_OPEN, TOKEN_INFORMATION, TOKEN_FUNCTION_COUNT };

// Loads the library of `set` and binds each of its functions into `procs`, in
// the order above. Returns the library, to be released with FreeLibrary. A
// library that cannot be loaded, or cannot give every function it is asked
// for, is released at once: NULL, and `procs` are not to be used.
//
// A library named with a leading backslash is loaded from the system
// directory (g_run.paths.systemDir) by full path, so that a library planted
// beside the tool is never the one loaded; KERNEL32 by its bare name, as it
// is mapped into every process already, and ADVAPI32, which the tool imports.
HMODULE BindFunctions(BindingSet set, AnyProc *procs);

#endif
