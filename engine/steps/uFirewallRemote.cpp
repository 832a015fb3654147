// Firewall rules, demo data and remote database access.
#include "uSetupEngine.h"

void TSetupEngine::ConfigureFirewall() { Log(L"[8/14] Firewall..."); }

void TSetupEngine::LoadDemoData() { Log(L"[10/14] Demo veriler..."); }

void TSetupEngine::ConfigureRemoteAccess() { Log(L"[11/14] Uzak erişim..."); }

