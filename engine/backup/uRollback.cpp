// Rollback: putting the last backup back, automatically after a failed copy or on request.
#include "uSetupEngine.h"

void TSetupEngine::RestoreBackup() {
    Log(SEPARATOR_LINE);
    Log(L"ROLLBACK BASLATILIYOR");
    Log(SEPARATOR_LINE);
}

void TSetupEngine::ExecuteRollback() {}
