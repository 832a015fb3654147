// Program entry: the switches decide between the window and an unattended run; the process's
// exit code is the run's result.
#include <windows.h>

#include <commctrl.h>

#include "uHardening.h"
#include "uUnattended.h"
#include "uWizardSystem.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCmd) {
    // Before any window, common control or COM call can load a DLL from the setup file's folder.
    HardenDllSearchOrder();

    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    TWizardSystem system;
    return RunSetupProgram(system, CommandLineArguments(), showCmd);
}
