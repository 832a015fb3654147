#include "uWin32Seam.h"

TMoveFileExW vpfnMoveFileExW = ::MoveFileExW;
TCreateFileW vpfnCreateFileW = ::CreateFileW;
TCreateDirectoryW vpfnCreateDirectoryW = ::CreateDirectoryW;
TOpenServiceW vpfnOpenServiceW = ::OpenServiceW;
TControlService vpfnControlService = ::ControlService;
TDeleteService vpfnDeleteService = ::DeleteService;
TCreateProcessW vpfnCreateProcessW = ::CreateProcessW;
TGetSecurityInfo vpfnGetSecurityInfo = ::GetSecurityInfo;

void ResetWin32Seam() {
    vpfnMoveFileExW = ::MoveFileExW;
    vpfnCreateFileW = ::CreateFileW;
    vpfnCreateDirectoryW = ::CreateDirectoryW;
    vpfnOpenServiceW = ::OpenServiceW;
    vpfnControlService = ::ControlService;
    vpfnDeleteService = ::DeleteService;
    vpfnCreateProcessW = ::CreateProcessW;
    vpfnGetSecurityInfo = ::GetSecurityInfo;
}
