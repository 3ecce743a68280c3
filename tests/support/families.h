// The Windows families the tests run the tool on, one row each of
// tests/families.json, compiled in from there (the Wine side reads the same
// file). Tests pick their families by trait: every family with the traits a
// case depends on, or the oldest one where a single representative is enough.
#ifndef HALUNUPD_TESTS_FAMILIES_H
#define HALUNUPD_TESTS_FAMILIES_H

#include <initializer_list>
#include <string_view>
#include <vector>

#include "base/state.h"
#include "platform/win32.h"

namespace testing_support {

enum class Restart { None, Wininit, DelayedMoves };
enum class Notice { None, Snapshot, ProcessList };

// The columns every test layer knows of a family, the Wine side included.
struct SharedFamily {
  Restart restart;
  Notice notice;
  bool is64Bit;
};

struct Family {
  const char *name;                // in test names
  DWORD platformId, major, minor;  // as GetVersionExA reports them
  PlatformCode expected;
  bool wow64Exports;  // KERNEL32 has IsWow64Process and GetSystemWow64DirectoryA
  SharedFamily shared;
  Restart restart = shared.restart;
  bool notices = shared.notice != Notice::None;
  bool is64Bit = shared.is64Bit;
};

// Every family, oldest first.
inline constexpr Family kFamilies[] = {
#include "support/families_table.inc"
};

constexpr const Family &Named(std::string_view name) {
  for (const Family &family : kFamilies)
    if (name == family.name) return family;
  throw "a family missing from tests/families.json";  // fails to compile
}

// The families that tests about one version name.
inline constexpr const Family &kWin98 = Named("win98");
inline constexpr const Family &kWinMe = Named("winme");
inline constexpr const Family &kNt4 = Named("nt40");
inline constexpr const Family &kWin2000 = Named("win2000");
inline constexpr const Family &kWinXp = Named("winxp");
inline constexpr const Family &kWin10x64 = Named("win64");

// What a test picks its families by.
enum class Where {
  // how a replacement waits for the restart
  NoRestart,
  Wininit,
  DelayedMoves,
  // how running copies are found
  NoNotice,
  Snapshot,
  ProcessList,
  // 32-bit Windows, or the tool under WOW64
  Bits32,
  Bits64,
  Wow64Functions,  // KERNEL32 has the WOW64 functions
  // the platform code the start marker is read on, or another
  Win98Me,
  NotWin98Me,
  Nt,  // Windows NT: who runs the tool is asked of its token
};

constexpr bool Has(const Family &f, Where trait) {
  const bool has[] = {f.restart == Restart::None, f.restart == Restart::Wininit,
                      f.restart == Restart::DelayedMoves, f.shared.notice == Notice::None,
                      f.shared.notice == Notice::Snapshot, f.shared.notice == Notice::ProcessList,
                      !f.is64Bit, f.is64Bit, f.wow64Exports, f.expected == PLATFORM_WIN98ME,
                      f.expected != PLATFORM_WIN98ME, f.platformId == VER_PLATFORM_WIN32_NT};
  return has[static_cast<int>(trait)];  // in the order of Where
}
constexpr bool HasAll(const Family &family, std::initializer_list<Where> traits) {
  for (Where trait : traits)
    if (!Has(family, trait)) return false;
  return true;
}

// Every family `keep` accepts, oldest first.
template <class Keep>
std::vector<const Family *> FamiliesWhere(Keep keep) {
  std::vector<const Family *> chosen;
  for (const Family &family : kFamilies)
    if (keep(family)) chosen.push_back(&family);
  return chosen;
}
// Every family with all of `traits`, oldest first.
template <class... Trait>
std::vector<const Family *> Families(Trait... traits) {
  return FamiliesWhere([&](const Family &family) { return HasAll(family, {traits...}); });
}

// The oldest family with all of `traits`: the representative of a case that
// runs on one family only.
template <class... Trait>
constexpr const Family *First(Trait... traits) {
  for (const Family &family : kFamilies)
    if (HasAll(family, {traits...})) return &family;
  throw "no family of tests/families.json has these traits";  // fails to compile
}

// The oldest family of each behaviour: each platform code with each way of
// scheduling and of finding running copies, 32-bit or under WOW64.
std::vector<const Family *> OnePerBehaviour();
// The oldest family of each way of finding running copies.
inline std::vector<const Family *> OnePerNotice() {
  return {First(Where::Snapshot), First(Where::ProcessList)};
}

// The typical course of a run, with every function the tool may bind on
// 32-bit Windows: the oldest family with delayed moves, the process list and
// the WOW64 functions. A case that does not depend on the family runs on it.
inline constexpr const Family *kTypical =
    First(Where::DelayedMoves, Where::ProcessList, Where::Wow64Functions, Where::Bits32);

// Makes the simulated machine report the family and lay out its system
// directories as the family does.
void UseFamily(const Family &family);

}  // namespace testing_support

#endif
