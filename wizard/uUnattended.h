#pragma once
// The program behind wWinMain: the switches, the elevated relaunch that waits for its copy, one
// setup at a time per machine, the log file of every run, and then the window (as the user
// drives it, or driving itself with /SP and /RESTORE) or the silent run of /S, which opens no
// window at all.
#include <string>
#include <vector>

#include "uWizardSystem.h"

// args: the arguments after the program's name. Returns the process's exit code (TExitCode).
int RunSetupProgram(TWizardSystem& system, const std::vector<std::wstring>& args, int showCmd);
