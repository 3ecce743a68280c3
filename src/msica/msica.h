// The one header of the custom action DLL: the tool's statuses and the
// Windows types (through the tool's platform header), and the Windows
// Installer operations the action calls (msi.dll).
#ifndef HALUNUPD_MSICA_MSICA_H
#define HALUNUPD_MSICA_MSICA_H

#include "../base/state.h"

#include <msi.h>
#include <msiquery.h>

#endif
