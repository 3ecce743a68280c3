// The custom actions of halunmsi.dll, the entries the package names in their
// DllEntry, with the verdicts on the tool's statuses (and through the tool's
// platform header the Windows and Windows Installer types). On the host the
// installer model of the simulator calls them.
#ifndef HALUNUPD_MSICA_MSICA_H
#define HALUNUPD_MSICA_MSICA_H

#include "verdict.h"

extern "C" {

// The DLL's entry: keeps its own module, whose string table the actions read.
BOOL WINAPI HalunmsiDllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

// Deferred, impersonated: tells the running copies of the product the user
// can see to close, when the tool is about to replace the installed
// executable now. Always succeeds.
UINT WINAPI CloseHalunexe(MSIHANDLE install);
// Deferred, not impersonated; CustomActionData: the installed path of
// halunupd.exe. Refuses an older staged executable than the installed one,
// else runs the tool and turns its status into the installation's result.
// Every failure first withdraws the staged copies no restart-time
// instruction names.
UINT WINAPI RunHalunupd(MSIHANDLE install);
// Deferred, impersonated: starts the installed product for the user unless
// a restart-time instruction still names a staged copy or it runs already.
// Always succeeds.
UINT WINAPI StartHalunexe(MSIHANDLE install);
// Immediate, after InstallFinalize: asks for the restart at the end while a
// restart-time instruction names a staged copy. Always succeeds.
UINT WINAPI RequestHalunupdRestart(MSIHANDLE install);
// Deferred, not impersonated, on removal: withdraws the staged copies no
// restart-time instruction names. Always succeeds.
UINT WINAPI RemoveHalunupdStaged(MSIHANDLE install);
// Deferred, impersonated, on the product's removal: tells the running copies
// the user can see to close, and waits for them as the tool does. Always
// succeeds.
UINT WINAPI CloseHalunexeForRemoval(MSIHANDLE install);
// Deferred, not impersonated, on the product's removal: deletes both staged
// copies (a restart-time replacement then puts nothing in place) and the
// installed pair, and schedules what stays in use for deletion at the next
// restart where the platform can. Always succeeds.
UINT WINAPI RemoveHalunexe(MSIHANDLE install);
// Immediate, after InstallFinalize, on the product's removal: asks for the
// restart at the end while a file of the pair is still there on a platform
// that deletes it at the restart. Always succeeds.
UINT WINAPI RequestRemovalRestart(MSIHANDLE install);
}

#endif
