#pragma once
// The Win32 calls whose refusals decide what an update, a backup or a restore does next, reached
// through pointers initialised to the real calls. Wine grants what Windows refuses (renaming a
// folder while a file inside is open, replacing a hidden or read-only file, opening a service
// without the right to); tests swap these to refuse the way Windows does, or to record the
// security a private folder or file is created with, or to record how a program is started.
#include <windows.h>

#include <aclapi.h>

using TMoveFileExW = decltype(&::MoveFileExW);
using TCreateFileW = decltype(&::CreateFileW);
using TCreateDirectoryW = decltype(&::CreateDirectoryW);
using TOpenServiceW = decltype(&::OpenServiceW);
using TControlService = decltype(&::ControlService);
using TDeleteService = decltype(&::DeleteService);
using TCreateProcessW = decltype(&::CreateProcessW);
using TGetSecurityInfo = decltype(&::GetSecurityInfo);

extern TMoveFileExW vpfnMoveFileExW;
extern TCreateFileW vpfnCreateFileW;
extern TCreateDirectoryW vpfnCreateDirectoryW;
extern TOpenServiceW vpfnOpenServiceW;
extern TControlService vpfnControlService;
extern TDeleteService vpfnDeleteService;
extern TCreateProcessW vpfnCreateProcessW;
// The owner of a folder the elevated programs are about to trust (the backup store, the
// uninstaller). Wine keeps no owners (every file reads as the signed-in user's), so there the
// real call decides little; tests answer as Windows does.
extern TGetSecurityInfo vpfnGetSecurityInfo;
// The system's own GetSecurityInfo, what vpfnGetSecurityInfo holds unless a test swapped it.
DWORD WINAPI SystemGetSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*,
                                   PACL*, PACL*, PSECURITY_DESCRIPTOR*);

// Puts every pointer back to the real call.
void ResetWin32Seam();
