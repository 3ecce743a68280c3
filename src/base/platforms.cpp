#include "state.h"

#include "text.h"

// The platform a version record describes; unknown for one the tool has no
// course for.
static PlatformCode PlatformOf(const OSVERSIONINFOA *version) {
  switch (version->dwPlatformId) {
    case VER_PLATFORM_WIN32s:
      return PLATFORM_WIN32S;
    case VER_PLATFORM_WIN32_WINDOWS:
      if (version->dwMajorVersion != 4) return PLATFORM_UNKNOWN;
      return version->dwMinorVersion == 0 ? PLATFORM_WIN95 : PLATFORM_WIN98ME;
    case VER_PLATFORM_WIN32_NT:
      if (version->dwMajorVersion > 4) return PLATFORM_NT5;
      return version->dwMajorVersion == 4 ? PLATFORM_NT4 : PLATFORM_UNKNOWN;
    default:
      return PLATFORM_UNKNOWN;
  }
}

BOOL SchedulesAtRestart(PlatformCode platform) {
  return platform == PLATFORM_WIN98ME || platform == PLATFORM_NT5;
}

void ClassifyPlatform(void) {
  OSVERSIONINFOA version;
  ZeroBytes(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  // A failed call leaves the record zeroed, which would read as Win32s: the
  // platform stays unknown instead.
  if (GetVersionExA(&version)) g_run.platformCode = PlatformOf(&version);
}
