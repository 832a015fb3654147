// The application's connection files.
#include "uSetupEngine.h"

void TSetupEngine::WriteConfigFiles() { Log(L"[5/14] Config dosyaları..."); }

