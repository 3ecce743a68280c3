// Test support: a fresh simulated machine per test and the product's layout
// on it.
#ifndef HALUNUPD_TESTS_SCENARIO_H
#define HALUNUPD_TESTS_SCENARIO_H

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/machine.h"
#include "run/run.h"

namespace testing_support {

extern const char kMarkerKey[];    // the completion marker's key under HKLM
extern const char kMarkerValue[];  // its value name
// Where that key really is on a 64-bit machine: the tool's registry view is
// the 32-bit one.
extern const char kMarkerKey64[];

// Windows families as GetVersionExA reports them; on a 64-bit family the
// tool runs under WOW64.
struct Family {
  const char *name;
  DWORD platformId, major, minor;
  PlatformCode expected;
  bool is64Bit = false;
};
extern const Family kWin95, kWin98, kWinMe, kNt4, kWin2000, kWinXp, kWin10, kWin10x64, kWin32s;

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;

  sim::Machine &m() { return sim::M(); }
  void UseFamily(const Family &family);
  // Classifies the platform and builds the managed paths from the machine's
  // system directory, as a run does before it calls the other operations.
  void PrepareRun();
  // Full path of a file in the tool's system directory, where it really is:
  // in the machine's reported system directory, or on a 64-bit machine in
  // its WOW64 directory.
  std::string Sys(const std::string &name) const;
  // Places the installed or staged pair in the system directory.
  void Install(const std::string &exeVersion, const std::string &exeBytes = "old exe",
               const std::string &libBytes = "old dll");
  void Stage(const std::string &exeVersion, const std::string &exeBytes = "new exe",
             const std::string &libBytes = "new dll");
  // The marker key where the tool's registry view puts it, and its value as
  // text.
  void AddMarkerKey();
  std::string MarkerText();
  // Reports defects and leaked resources the run left behind.
  void ExpectCleanExit();
};

}  // namespace testing_support

#endif
