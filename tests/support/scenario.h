// Test support: a fresh simulated machine per test and the product's layout
// on it.
#ifndef HALUNUPD_TESTS_SCENARIO_H
#define HALUNUPD_TESTS_SCENARIO_H

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/sim/machine.h"
#include "run/run.h"
#include "support/families.h"
#include "support/setups.h"
#include "support/snapshot.h"

namespace testing_support {

extern const std::string kMarkerKey;    // the completion marker's key under HKLM
extern const std::string kMarkerValue;  // its value name

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { FreshMachine(); }
  // A fresh machine and run state, for a test that runs the tool many times.
  void FreshMachine();

  sim::Machine &m() { return sim::M(); }
  // Classifies the platform and builds the managed paths from the machine's
  // system directory, as a run does before it calls the other operations.
  void PrepareRun();
  // The installed 4.50 and staged 4.60 pairs placed and the paths built; the
  // machine as it is then.
  MachineState Prepare() {
    Install("4.50");
    Stage("4.60");
    PrepareRun();
    return Snapshot();
  }
  // The marker key where the tool's registry view puts it.
  void AddMarkerKey() { m().AddKey(m().RedirectedKey(kMarkerKey)); }
  // Reports defects and leaked resources the run left behind.
  void ExpectCleanExit();
  size_t Count(const char *name) const { return sim::M().CallsNamed(name).size(); }
  // The calls of `name` whose argument `arg` is `value`.
  size_t Count(const char *name, size_t arg, const std::string &value) const {
    size_t count = 0;
    for (const sim::Call *call : sim::M().CallsNamed(name)) count += call->args[arg] == value;
    return count;
  }
  // Where in the call log the first call of `name` is (with `arg` as its
  // argument `at`, when given); the log's length when there is none.
  size_t FirstCall(const char *name, const std::string &arg = "", size_t at = 0) const {
    const std::vector<sim::Call> &calls = sim::M().Calls();
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i].name == name && (arg.empty() || calls[i].args[at] == arg)) return i;
    return calls.size();
  }
  // The deletions of a managed file, named as the tool names it: in the
  // reported system directory.
  size_t Deletions(const char *name) const {
    return Count("DeleteFileA", 0, sim::Fold(sim::M().systemDir + "\\" + name));
  }
  // Runs the tool, which is to report `status`, and returns the machine as
  // it was before with what every course leaves: the marker written (when
  // `marks`), and after a fresh install or a replacement every staged copy in
  // place and the resident started, named as the tool sees it (from the
  // reported system directory), unless the tool runs as LocalSystem on
  // Windows NT, where it starts nothing.
  MachineState RunExpecting(RunStatus status, bool marks = true) {
    MachineState expected = Snapshot();
    EXPECT_EQ(status, RunUpgrade());
    if (marks) expected.marker = kComplete;
    if (StartsResident(status)) {
      expected.InPlace(expected.stagedExe.has_value(), expected.stagedDll.has_value());
      const bool asLocalSystem = sim::M().caller == sim::kLocalSystem &&
                                 sim::M().version.platformId == VER_PLATFORM_WIN32_NT;
      if (!asLocalSystem) expected.launches = {ResidentCommandLine()};
    }
    return expected;
  }
  // Runs the tool as RunExpecting does and expects the machine to be left as
  // it describes, and no other way.
  void ExpectRun(RunStatus status, bool marks = true) {
    const MachineState expected = RunExpecting(status, marks);
    EXPECT_EQ(expected, Snapshot());
  }
};

// A test run once per row of a table: a family, a case, or both. The fixture
// sets the family up; `Rows` names each instance from the family's name and
// the case's label.
template <class Case>
class RowTest : public SimTest,
                public ::testing::WithParamInterface<std::tuple<const Family *, const Case *>> {
 protected:
  void SetUp() override { FreshRow(); }
  // A fresh machine of the row's family with the marker key, as each row
  // starts: a test that runs the tool many times starts each run so.
  void FreshRow() {
    FreshMachine();
    testing_support::UseFamily(F());
    AddMarkerKey();
  }
  const Family &F() const { return *std::get<0>(this->GetParam()); }
  const Case &C() const { return *std::get<1>(this->GetParam()); }
  // What a run scheduling `names` for the restart leaves, on this family.
  void Schedule(MachineState &expected, std::initializer_list<const char *> names) {
    if (F().restart == Restart::Wininit) expected.wininit = RenameFile(names);
    if (F().restart == Restart::DelayedMoves) expected.moves = RestartMoves(names);
  }
};

struct NoCase {
  const char *label = "";
};
inline const NoCase kNoCase[1];

// The instances of a row table: every family given, with every case.
template <class Case, size_t N>
auto Rows(std::vector<const Family *> families, const Case (&cases)[N]) {
  std::vector<const Case *> pointers;
  for (const Case &c : cases) pointers.push_back(&c);
  return ::testing::Combine(::testing::ValuesIn(families), ::testing::ValuesIn(pointers));
}
std::vector<const Family *> AllFamilies();
// The instances of a table whose cases name their own family.
template <class Case, size_t N>
auto OwnFamilyRows(const Case (&cases)[N]) {
  std::vector<std::tuple<const Family *, const Case *>> rows;
  for (const Case &c : cases) rows.emplace_back(c.family, &c);
  return ::testing::ValuesIn(rows);
}

// The instance name: the family, then the case's label, as letters and digits.
struct RowName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param> &info) const {
    std::string name =
        std::string(std::get<0>(info.param)->name) + "_" + std::get<1>(info.param)->label;
    for (char &c : name)
      if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name + "_" + std::to_string(info.index);
  }
};

}  // namespace testing_support

#endif
