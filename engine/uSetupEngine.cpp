// TSetupEngine: construction, destruction, the folder rules and the mode detection.
#include "uSetupEngine.h"

#include <windows.h>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uInstallation.h"

TSetupEngine::TSetupEngine() : TSetupEngine(CreateWindowsHost()) {}

TSetupEngine::TSetupEngine(std::unique_ptr<THost> host) : FHost(std::move(host)) {
    FHost->Attach([this](const std::wstring& msg) { Log(msg); });
}

TSetupEngine::~TSetupEngine() {
    FDestroying = true;
    FCancelled = true;
    // The only unbounded wait of the program: the run unwinds at its next cancellation check.
    if (FThread.joinable())
        FThread.join();
}

std::wstring TSetupEngine::OrtakDataDir() const {
    return EngineRules::OrtakDataDir(FDbDrive, FInstallDir);
}

std::wstring TSetupEngine::DataDir() const {
    return OrtakDataDir() + L"\\Data";
}

std::wstring TSetupEngine::MariaDir() const {
    return OrtakDataDir() + L"\\mariadb";
}

std::wstring TSetupEngine::MariaBin(const std::wstring& Exe) const {
    return MariaDir() + L"\\bin\\" + Exe;
}

std::wstring TSetupEngine::GetMevcutServisYolu() const {
    return Installation::DatabaseServiceFolder();
}

std::wstring TSetupEngine::GetDesktopPath() const {
    return Installation::DesktopPath();
}

void TSetupEngine::DetectExistingInstall() {
    switch (EngineRules::ModeFromExeName(
        FModeName.empty() ? EngineRules::ExtractFileName(FHost->ExePath()) : FModeName)) {
    case EngineRules::TNameMode::FileUpdate:
        FIsUpdate = true;
        FIsFullUpdate = false;
        break;
    case EngineRules::TNameMode::FullUpdate:
        FIsUpdate = true;
        FIsFullUpdate = true;
        break;
    case EngineRules::TNameMode::None:
        FIsUpdate = DirectoryExists(DataDir() + L"\\corvaneposdb");
        FIsFullUpdate = false;
        break;
    }
}
