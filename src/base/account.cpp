#include "binding.h"
#include "state.h"

// LocalSystem's identifier, S-1-5-18, as a SID's bytes: revision 1, one
// sub-authority, the NT authority 5, and the sub-authority 18.
static const BYTE LOCAL_SYSTEM_SID[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
// The token's user, with room for the longest SID Windows makes
// (SECURITY_MAX_SID_SIZE, 68 bytes), in pointer-sized words for alignment.
enum { TOKEN_USER_WORDS = (sizeof(TOKEN_USER) + 68 + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR) };

// TRUE when the SID at `sid` lies within the `length` bytes at `start` and is
// LocalSystem's.
static BOOL IsLocalSystemSid(const BYTE *sid, const BYTE *start, DWORD length) {
  if (sid < start || sid > start + length || (DWORD)(start + length - sid) < sizeof(LOCAL_SYSTEM_SID))
    return FALSE;
  for (DWORD i = 0; i < sizeof(LOCAL_SYSTEM_SID); ++i)
    if (sid[i] != LOCAL_SYSTEM_SID[i]) return FALSE;
  return TRUE;
}

BOOL RunsAsLocalSystem(void) {
  AnyProc procs[TOKEN_FUNCTION_COUNT];
  HMODULE library = BindFunctions(BIND_TOKEN, procs);
  if (library == NULL) return FALSE;
  BOOL localSystem = FALSE;
  HANDLE token = NULL;
  if (((OpenProcessTokenProc)procs[TOKEN_OPEN])(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ULONG_PTR user[TOKEN_USER_WORDS];
    DWORD length = 0;
    if (((GetTokenInformationProc)procs[TOKEN_INFORMATION])(token, TokenUser, user, sizeof(user),
                                                           &length) &&
        length <= sizeof(user))
      localSystem = IsLocalSystemSid((const BYTE *)((const TOKEN_USER *)user)->User.Sid,
                                     (const BYTE *)user, length);
    CloseHandle(token);
  }
  FreeLibrary(library);
  return localSystem;
}
