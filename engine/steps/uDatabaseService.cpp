// Database initialisation and the CorvaneDB service.
#include "uSetupEngine.h"

void TSetupEngine::InitMariaDB() { Log(L"[6/14] MariaDB init..."); }

void TSetupEngine::InstallDBService() { Log(L"[7/14] CorvaneDB servisi..."); }

