#include "binding.h"
#include "state.h"

// LocalSystem's identifier, S-1-5-18, as a SID's bytes: revision 1, one
// sub-authority, the NT authority 5, and the sub-authority 18.
static const BYTE LOCAL_SYSTEM_SID[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
// The token's user, with room for the longest SID Windows makes after it
// (SECURITY_MAX_SID_SIZE).
enum { MAX_SID_BYTES = 68 };
union TokenUserBuffer {
  TOKEN_USER user;
  BYTE bytes[sizeof(TOKEN_USER) + MAX_SID_BYTES];
};

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
    TokenUserBuffer information;
    DWORD length = 0;
    if (((GetTokenInformationProc)procs[TOKEN_INFORMATION])(token, TokenUser, &information,
                                                           sizeof(information), &length) &&
        length <= sizeof(information))
      localSystem = IsLocalSystemSid((const BYTE *)information.user.User.Sid, information.bytes,
                                     length);
    CloseHandle(token);
  }
  FreeLibrary(library);
  return localSystem;
}
