#include "FakeSteps.h"

std::map<std::string, TStepHook>& StepHooks() {
    static std::map<std::string, TStepHook> hooks;
    return hooks;
}

void ResetStepHooks() { StepHooks().clear(); }

namespace {
void RunHook(const char* step, TSetupEngine& engine) {
    const auto it = StepHooks().find(step);
    if (it != StepHooks().end() && it->second)
        it->second(engine);
}
} // namespace

#define FAKE_STEP(name, header)                                                                    \
    void TSetupEngine::name() {                                                                    \
        Log(header);                                                                               \
        RunHook(#name, *this);                                                                     \
    }

FAKE_STEP(PreflightCheck, L"[0/14] On kontrol yapiliyor...")
FAKE_STEP(CreateBackup, L"[1.5/14] Yedek olusturuluyor...")
FAKE_STEP(CopyFiles, L"[2/14] Dosyalar kopyalanıyor...")
FAKE_STEP(CreateFolders, L"[3/14] Klasörler oluşturuluyor...")
FAKE_STEP(WriteMyIni, L"[4/14] my.ini...")
FAKE_STEP(WriteConfigFiles, L"[5/14] Config dosyaları...")
FAKE_STEP(InitMariaDB, L"[6/14] MariaDB init...")
FAKE_STEP(InstallDBService, L"[7/14] CorvaneDB servisi...")
FAKE_STEP(ConfigureFirewall, L"[8/14] Firewall...")
FAKE_STEP(LoadDemoData, L"[10/14] Demo veriler...")
FAKE_STEP(ConfigureRemoteAccess, L"[11/14] Uzak erişim...")
FAKE_STEP(InstallAppService, L"[12/14] CorvaneMarketService...")
FAKE_STEP(CreateShortcut, L"[13/14] Kısayollar...")
FAKE_STEP(RegisterUninstall, L"[14/14] Program Ekle/Kaldır kaydı...")
FAKE_STEP(RestoreBackup, L"ROLLBACK BASLATILIYOR")
