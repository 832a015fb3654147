#pragma once
// The Win32 calls whose refusals decide what an update, a backup or a restore does next, reached
// through pointers initialised to the real calls. Wine grants what Windows refuses (renaming a
// folder while a file inside is open, replacing a hidden or read-only file, opening a service
// without the right to); tests swap these to refuse the way Windows does, or to record the
// security a private folder or file is created with. Wine keeps no DACL and reports every file
// as owned by the user running it: tests read the security set back from what was passed to
// the two SetSecurity calls, and make folders foreign-owned through GetSecurityInfo. Tests also
// record how a program is started.
#include <windows.h>

#include <aclapi.h>

using TMoveFileExW = decltype(&::MoveFileExW);
using TCreateFileW = decltype(&::CreateFileW);
using TCreateDirectoryW = decltype(&::CreateDirectoryW);
using TOpenServiceW = decltype(&::OpenServiceW);
using TControlService = decltype(&::ControlService);
using TDeleteService = decltype(&::DeleteService);
using TGetSecurityInfo = decltype(&::GetSecurityInfo);
using TSetSecurityInfo = decltype(&::SetSecurityInfo);
using TSetNamedSecurityInfoW = decltype(&::SetNamedSecurityInfoW);
using TCreateProcessW = decltype(&::CreateProcessW);

extern TMoveFileExW vpfnMoveFileExW;
extern TCreateFileW vpfnCreateFileW;
extern TCreateDirectoryW vpfnCreateDirectoryW;
extern TOpenServiceW vpfnOpenServiceW;
extern TControlService vpfnControlService;
extern TDeleteService vpfnDeleteService;
extern TGetSecurityInfo vpfnGetSecurityInfo;
extern TSetSecurityInfo vpfnSetSecurityInfo;
extern TSetNamedSecurityInfoW vpfnSetNamedSecurityInfoW;
extern TCreateProcessW vpfnCreateProcessW;

// Puts every pointer back to the real call.
void ResetWin32Seam();
