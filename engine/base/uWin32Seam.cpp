#include "uWin32Seam.h"

TMoveFileExW vpfnMoveFileExW = ::MoveFileExW;
TCreateFileW vpfnCreateFileW = ::CreateFileW;
TCreateDirectoryW vpfnCreateDirectoryW = ::CreateDirectoryW;
TOpenServiceW vpfnOpenServiceW = ::OpenServiceW;
TControlService vpfnControlService = ::ControlService;
TDeleteService vpfnDeleteService = ::DeleteService;
TGetSecurityInfo vpfnGetSecurityInfo = ::GetSecurityInfo;
TSetSecurityInfo vpfnSetSecurityInfo = ::SetSecurityInfo;
TSetNamedSecurityInfoW vpfnSetNamedSecurityInfoW = ::SetNamedSecurityInfoW;
TCreateProcessW vpfnCreateProcessW = ::CreateProcessW;

void ResetWin32Seam() {
    vpfnMoveFileExW = ::MoveFileExW;
    vpfnCreateFileW = ::CreateFileW;
    vpfnCreateDirectoryW = ::CreateDirectoryW;
    vpfnOpenServiceW = ::OpenServiceW;
    vpfnControlService = ::ControlService;
    vpfnDeleteService = ::DeleteService;
    vpfnGetSecurityInfo = ::GetSecurityInfo;
    vpfnSetSecurityInfo = ::SetSecurityInfo;
    vpfnSetNamedSecurityInfoW = ::SetNamedSecurityInfoW;
    vpfnCreateProcessW = ::CreateProcessW;
}
