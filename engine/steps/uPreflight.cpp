// Pre-flight check of the updates.
#include "uSetupEngine.h"

int64_t TSetupEngine::EstimateBackupSize() { return 0; }

void TSetupEngine::PreflightCheck() { Log(L"[0/14] On kontrol yapiliyor..."); }

