// Program entry: the switches decide between the window and an unattended run; the process's
// exit code is the run's result.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "uHardening.h"
#include "uUnattended.h"
#include "uWizardSystem.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCmd) {
    // Before any window, common control or COM call can load a DLL from the setup file's folder.
    HardenDllSearchOrder();

    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    std::vector<std::wstring> args;
    int argc = 0;
    if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i)
            args.emplace_back(argv[i]);
        LocalFree(argv);
    }
    TWizardSystem system;
    return RunSetupProgram(system, args, showCmd);
}
