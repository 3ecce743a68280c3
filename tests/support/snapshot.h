// What a run leaves on the simulated machine, as one typed value: tests build
// the expected state (usually the state before the run with what the run
// should change) and compare it whole, so a failure shows both in full.
#ifndef HALUNUPD_TESTS_SNAPSHOT_H
#define HALUNUPD_TESTS_SNAPSHOT_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace testing_support {

using Bytes = std::optional<std::string>;  // std::nullopt: absent

struct MachineState {
  // The four managed files where the tool's system directory really is.
  Bytes exe, dll, stagedExe, stagedDll;
  Bytes marker;   // the completion marker's value
  Bytes wininit;  // the rename file of Windows 98/ME
  std::vector<sim::DelayedMove> moves;
  std::vector<std::string> launches;  // command lines of the programs started
  std::vector<UINT> notices;          // messages the windows received, in order
  // What the run left behind: open handles, heap blocks, library references
  // and misuses of the interface.
  int openHandles = 0, heapBlocks = 0, libraryReferences = 0;
  std::vector<std::string> defects;

  // The staged copies of the files chosen put in place: their bytes become
  // the installed ones and the staged copies go.
  void InPlace(bool executable = true, bool library = true) {
    if (executable) exe = stagedExe, stagedExe = std::nullopt;
    if (library) dll = stagedDll, stagedDll = std::nullopt;
  }
};

bool operator==(const MachineState &a, const MachineState &b);
void PrintTo(const MachineState &state, std::ostream *out);

// The machine as it is now.
MachineState Snapshot();

// The moves a run queues for the restart: each staged copy of `names` over
// its installed file ("halundll.dll" for halundll.dl$), in that order.
std::vector<sim::DelayedMove> RestartMoves(std::initializer_list<const char *> names);
// The rename file a run writes on 98/ME for the same files.
std::string RenameFile(std::initializer_list<const char *> names);
// Restarts the machine and expects the staged pair ("new exe", "new dll") in
// place, its copies gone, or when not `replaced` the installed one still.
void RestartAndExpect(bool replaced);
// The command line that restarts the resident.
std::string ResidentCommandLine();

extern const std::string kComplete;  // the marker's value after a run

}  // namespace testing_support

#endif
