#pragma once
// Scripted installation steps for the driver's tests. Linked in place of the real steps: each
// logs its own header line as the real one does, then runs the hook the test set for it.
#include <functional>
#include <map>
#include <string>

#include "EngineAccess.h"

using TStepHook = std::function<void(TSetupEngine&)>;

// Hooks by step name ("CopyFiles", "RestoreBackup", ...); cleared by ResetStepHooks.
std::map<std::string, TStepHook>& StepHooks();
void ResetStepHooks();

