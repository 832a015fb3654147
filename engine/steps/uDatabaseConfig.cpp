// Shared data folders and the database server's my.ini.
#include "uSetupEngine.h"

void TSetupEngine::CreateFolders() { Log(L"[3/14] Klasörler oluşturuluyor..."); }

void TSetupEngine::WriteMyIni() { Log(L"[4/14] my.ini..."); }

