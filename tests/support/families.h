// The Windows families the tests run the tool on. What every test layer
// knows of a family (how a restart-time replacement is written, how running
// copies are found, whether it is 64-bit Windows) is stated once, in
// tests/families.json, and compiled in from there; beside it stand the facts
// only the simulator needs. A family the Wine side does not run behaves as
// one it does.
#ifndef HALUNUPD_TESTS_FAMILIES_H
#define HALUNUPD_TESTS_FAMILIES_H

#include <string_view>

#include "base/state.h"
#include "platform/win32.h"

namespace testing_support {

enum class Restart { None, Wininit, DelayedMoves };
enum class Notice { None, Snapshot, ProcessList };

// A row of tests/families.json.
struct SharedFamily {
  const char *name;
  Restart restart;
  Notice notice;
  bool is64Bit;
};

inline constexpr SharedFamily kSharedFamilies[] = {
#include "support/families_table.inc"
};

constexpr const SharedFamily &SharedRow(std::string_view name) {
  for (const SharedFamily &row : kSharedFamilies)
    if (name == row.name) return row;
  throw "a family missing from tests/families.json";  // fails to compile
}

struct Family {
  const char *name;                // in test names; a row's own name where it has one
  DWORD platformId, major, minor;  // as GetVersionExA reports them
  PlatformCode expected;
  bool wow64Exports;  // KERNEL32 has IsWow64Process and GetSystemWow64DirectoryA
  const SharedFamily &shared;  // the row of tests/families.json it behaves as
  Restart restart = shared.restart;
  bool notices = shared.notice != Notice::None;
  bool is64Bit = shared.is64Bit;
};

inline constexpr Family kWin32s{"win32s", VER_PLATFORM_WIN32s, 3, 1, PLATFORM_WIN32S,
                                false,    SharedRow("win95")};
inline constexpr Family kWin95{"win95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, PLATFORM_WIN95,
                               false,   SharedRow("win95")};
inline constexpr Family kWin98{"win98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, PLATFORM_WIN98ME,
                               false,   SharedRow("win98")};
inline constexpr Family kWinMe{"winme", VER_PLATFORM_WIN32_WINDOWS, 4, 90, PLATFORM_WIN98ME,
                               false,   SharedRow("win98")};
inline constexpr Family kNt4{"nt40", VER_PLATFORM_WIN32_NT, 4, 0, PLATFORM_NT4,
                             false,  SharedRow("nt40")};
inline constexpr Family kWin2000{"win2000", VER_PLATFORM_WIN32_NT, 5, 0, PLATFORM_NT5,
                                 false,     SharedRow("winxp")};
inline constexpr Family kWinXp{"winxp", VER_PLATFORM_WIN32_NT, 5, 1, PLATFORM_NT5,
                               true,    SharedRow("winxp")};
inline constexpr Family kWin10{"win10", VER_PLATFORM_WIN32_NT, 10, 0, PLATFORM_NT5,
                               true,    SharedRow("win10")};
inline constexpr Family kWin10x64{"win64", VER_PLATFORM_WIN32_NT, 10, 0, PLATFORM_NT5,
                                  true,    SharedRow("win64")};

// Every family, oldest first.
inline constexpr const Family *kFamilies[] = {&kWin32s,  &kWin95, &kWin98, &kWinMe,   &kNt4,
                                              &kWin2000, &kWinXp, &kWin10, &kWin10x64};

// Makes the simulated machine report the family and lay out its system
// directories as the family does.
void UseFamily(const Family &family);

}  // namespace testing_support

#endif
