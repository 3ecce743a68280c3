// The one header of the custom action DLL's Windows side: the verdicts on the
// tool's statuses (with the tool's statuses and Windows types, through the
// tool's platform header) and the Windows Installer operations the action
// calls (msi.dll).
#ifndef HALUNUPD_MSICA_MSICA_H
#define HALUNUPD_MSICA_MSICA_H

#include "verdict.h"

#include <msi.h>
#include <msiquery.h>

#endif
