// A model of the Windows Installer engine running a package as its WiX
// source declares it: the custom actions (their DLL entries, when and as whom
// they run, whether their failure fails the installation), the sequence with
// its conditions, and the components with their files. One pass is one run
// of msiexec with a component action state for every component.
#ifndef HALUNUPD_SIM_MSI_ENGINE_H
#define HALUNUPD_SIM_MSI_ENGINE_H

#include <map>
#include <string>
#include <vector>

#include "machine.h"
#include "msi_model.h"

namespace sim {
namespace msi {

struct CustomAction {
  std::string id;
  std::string dllEntry;  // "" for an action that sets a property
  std::string execute = "immediate";
  bool impersonate = true;
  bool check = true;  // Return="check": its failure fails the installation
  std::string property, value;  // an action that sets a property
};

struct Scheduled {
  std::string action;
  int sequence = 0;
  std::string condition;  // "" runs always
};

struct Component {
  std::string id;
  bool permanent = false;
  std::string directory;        // full path
  std::string fileId, fileName;  // its one file
};

struct Package {
  std::vector<CustomAction> actions;
  std::vector<Scheduled> sequence;  // the InstallExecuteSequence's own entries
  std::vector<Component> components;
  // The Product's Condition elements: each must hold, or the pass fails
  // with its message before anything runs.
  std::vector<std::pair<std::string, std::string>> launchConditions;  // condition, message
};

// Reads a package's WiX source, with `variables` for its $(var.NAME) and
// "$$" as "$". Directories resolve on the current machine: SystemFolder is
// the system directory of 32-bit programs, ProgramFilesFolder theirs.
// Aborts on what it does not know.
Package ReadPackage(const std::string &wxs, const std::map<std::string, std::string> &variables);

// The custom action DLL, linked in: its entry (called as each action loads
// it), its exports by name, and what loading it does to its data. The
// installer copies the DLL's stream to a new temporary file for each action
// and loads that, so that no action sees the data an earlier one left:
// `load` sets the data as a fresh copy has it.
using ActionEntry = UINT(WINAPI *)(MSIHANDLE);
struct Dll {
  BOOL(WINAPI *main)(HINSTANCE, DWORD, LPVOID) = nullptr;
  std::map<std::string, ActionEntry> entries;
  void (*load)() = nullptr;
};

// Component action states.
enum { STATE_UNCHANGED = -1, STATE_ABSENT = 2, STATE_LOCAL = 3 };

struct Pass {
  int state = STATE_LOCAL;  // of every component
  // What InstallFiles puts, by file identifier, when the state is local.
  std::map<std::string, File> files;
  // Set on the removal of an older package by a newer one's upgrade.
  std::string upgradingProductCode;
  // Privileged: the installation runs with administrator rights.
  bool privileged = true;
};

// An action the pass ran: its identifier, as whom, and what it returned.
struct ActionRun {
  std::string action;
  Identity as;
  UINT result = 0;
};

struct PassResult {
  UINT result = 0;  // what msiexec returns: 0, 3010 or 1603
  std::vector<ActionRun> actions;
  Session session;  // the log, the modes set, the refusals
};

// Runs one pass of the package: the immediate actions before InstallFinalize
// as the script is written (each deferred one scheduled with its
// CustomActionData, the property of its name), then the script (RemoveFiles
// at 3500 deleting the files of components going absent that are not
// permanent, InstallFiles at 4000 putting those of components installed
// locally, and the deferred actions in sequence order), then the immediate
// actions after InstallFinalize. Conditions are read as written: $Component=N
// (its action state), PROPERTY~="TEXT" (ignoring case), PROPERTY (set), NOT
// before any and AND between them; anything else aborts. REMOVE is "ALL" on a
// pass that removes, UPGRADINGPRODUCTCODE set on an upgrade's removal,
// Privileged as the pass says. A launch condition that does not hold ends the
// pass with 1603 and its message in the log, before any action. A deferred
// action that is not impersonated runs as LocalSystem (session 0) on Windows
// NT and as the user elsewhere; every other as the user. A Return="check"
// action that fails ends the pass with 1603, after the rollback has put the
// files this pass put or deleted back as they were; otherwise 3010 when an
// action asked for the restart at the end, else 0.
PassResult RunPass(const Package &package, const Dll &dll, const Pass &pass);

}  // namespace msi
}  // namespace sim

#endif
