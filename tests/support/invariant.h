// The guarantee every run must keep, whatever fails: no managed file that
// existed before the run is left without an installed or a staged copy, and
// after the next restart each managed file that had an installed copy, or a
// staged copy the run used up, is installed.
//
// Plain functions over sim::M(), without GoogleTest, so that the fuzz targets
// can use them too. The check returns the violations it found, one per line;
// an empty text means the guarantee holds.
#ifndef HALUNUPD_TESTS_INVARIANT_H
#define HALUNUPD_TESTS_INVARIANT_H

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ManagedFileState {
  const char *label;  // "executable" or "library"
  std::string installedPath, stagedPath;
  bool installed = false, staged = false;
  std::string stagedBytes;  // the staged copy's, when there is one
};

struct ManagedSnapshot {
  ManagedFileState files[2];  // the executable, then the library
  // The rename file held, before the run, restart instructions of its own
  // that move a managed file somewhere the tool would not: what the restart
  // then does to the managed files is not the run's doing.
  bool foreignRenames = false;
};

// Records which managed files exist where the tool's system directory really
// is (on a 64-bit machine, its WOW64 directory).
ManagedSnapshot SnapshotManagedFiles();

// The end of a run that reported `status`, whatever failed in it: one of the
// statuses; no handle, heap block or library reference left and no misuse of
// an interface; a replacement reported only with every file that was staged
// holding the staged bytes under its installed name; every managed file that
// existed before still with its installed or its staged copy on disk; and,
// once that holds, after the machine's restart (which it performs) each
// managed file that was installed before the run, or whose staged copy is
// gone, installed. With `unreached` given (every call failed from some point
// on), a file the run deleted and kept the staged copy of is not reported
// after the restart: `*unreached` is set. The violations follow the status
// ("status 3; ...").
std::string CheckRunEnd(const ManagedSnapshot &before, int status, bool *unreached = nullptr);

// The lines of the first [Rename] section of wininit.ini, as (target,
// source) pairs; none where the family has no rename file.
std::vector<std::pair<std::string, std::string>> WininitRenames();

}  // namespace testing_support

#endif
