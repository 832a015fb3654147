// Program entry: the wizard window is the application's main window; the process ends when it
// has closed, or at once when the window decides so during its creation.
#include <windows.h>

#include <commctrl.h>

#include "uHardening.h"
#include "uMain.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCmd) {
    // Before any window, common control or COM call can load a DLL from the setup file's folder.
    HardenDllSearchOrder();

    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    TWizardSystem system;
    TfrmSetup frmSetup(system);
    frmSetup.SetQuitOnDestroy(true);
    if (!frmSetup.Create(showCmd))
        return 0;

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Tab and arrow keys move the focus between the controls, as in a dialog.
        if (frmSetup.Handle() && IsDialogMessageW(frmSetup.Handle(), &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
