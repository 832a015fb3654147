#include "uWin32Seam.h"

DWORD WINAPI SystemGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                   PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                   PSECURITY_DESCRIPTOR* descriptor) {
    return ::GetSecurityInfo(handle, type, info, owner, group, dacl, sacl, descriptor);
}

TMoveFileExW vpfnMoveFileExW = ::MoveFileExW;
TCreateFileW vpfnCreateFileW = ::CreateFileW;
TCreateDirectoryW vpfnCreateDirectoryW = ::CreateDirectoryW;
TOpenServiceW vpfnOpenServiceW = ::OpenServiceW;
TControlService vpfnControlService = ::ControlService;
TDeleteService vpfnDeleteService = ::DeleteService;
TCreateProcessW vpfnCreateProcessW = ::CreateProcessW;
TGetSecurityInfo vpfnGetSecurityInfo = SystemGetSecurityInfo;

void ResetWin32Seam() {
    vpfnMoveFileExW = ::MoveFileExW;
    vpfnCreateFileW = ::CreateFileW;
    vpfnCreateDirectoryW = ::CreateDirectoryW;
    vpfnOpenServiceW = ::OpenServiceW;
    vpfnControlService = ::ControlService;
    vpfnDeleteService = ::DeleteService;
    vpfnCreateProcessW = ::CreateProcessW;
    vpfnGetSecurityInfo = SystemGetSecurityInfo;
}
