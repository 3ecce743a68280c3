// The Windows Installer functions a custom action DLL calls (the msi.dll
// block of src/platform/win32.h), acted out on the host by a model of the
// installer's rules for the handle each action is given.
//
// An install handle is of a kind: an immediate action's answers every
// function the model knows (properties, MsiSetMode, MsiGetMode, messages);
// a deferred, commit or rollback action's answers only what the installer
// lets such an action ask: MsiGetProperty for CustomActionData, ProductCode
// (not in a commit action) and UserSID, MsiGetMode for MSIRUNMODE_SCHEDULED,
// _COMMIT and _ROLLBACK, and MsiProcessMessage. Anything else it refuses
// without effect: MsiGetProperty gives the empty value of a property that is
// not there, MsiGetMode FALSE, MsiSetMode ERROR_ACCESS_DENIED. The model
// records the messages, the modes set and what it refused; what it does not
// model aborts with a message.
#ifndef HALUNUPD_SIM_MSI_MODEL_H
#define HALUNUPD_SIM_MSI_MODEL_H

#include <map>
#include <string>
#include <vector>

#include "../win32.h"

namespace sim {
namespace msi {

// Stops the test with `message`: what the model refuses, loudly.
[[noreturn]] void Fatal(const std::string &message);

enum class Context { Immediate, Deferred, Commit, Rollback };
const char *ContextName(Context context);

// One installation session as the model sees it.
struct Session {
  // The properties an immediate action reads.
  std::map<std::string, std::string> properties;
  std::string productCode = "{6B1C2D3E-0F4A-4B5C-8D9E-0A1B2C3D4E5F}";
  std::string userSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
  bool rebootAtEnd = false;
  // The messages written to the log, formatted; the modes set
  // ("MSIRUNMODE_REBOOTATEND=1"); the calls refused, with the handle's kind
  // ("deferred: MsiSetMode(MSIRUNMODE_REBOOTATEND, 1)").
  std::vector<std::string> log, modesSet, refused;
};

// The current session; a fresh one with every handle closed.
Session &S();
void ResetInstaller();

// The handle an action of `context` is given, with its CustomActionData.
MSIHANDLE OpenInstallHandle(Context context, const std::string &customActionData);
// Closes it once the action has returned; a record the action left open is
// closed and reported as a defect of the machine.
void CloseInstallHandle(MSIHANDLE install);

}  // namespace msi
}  // namespace sim

#endif
