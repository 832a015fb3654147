// Back-office service, desktop shortcut and the uninstall entry.
#include "uSetupEngine.h"

void TSetupEngine::InstallAppService() { Log(L"[12/14] CorvaneMarketService..."); }

void TSetupEngine::CreateShortcut() { Log(L"[13/14] Kısayollar..."); }

void TSetupEngine::RegisterUninstall() { Log(L"[14/14] Program Ekle/Kaldır kaydı..."); }

