// Copying the application's files.
#include "uSetupEngine.h"

void TSetupEngine::CopyFiles() { Log(L"[2/14] Dosyalar kopyalanıyor..."); }

