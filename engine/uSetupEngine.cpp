// TSetupEngine: construction, destruction, the folder rules and the mode detection.
#include "uSetupEngine.h"

#include <windows.h>

#include "uFileUtil.h"
#include <shlobj.h>

#include "host/uWinHandles.h"
#include "uEngineRules.h"

namespace {

// A registry key opened for reading.
class TRegKey {
public:
    bool OpenRead(HKEY root, const wchar_t* path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        FKey.Reset(key);
        return true;
    }
    // A missing or unreadable value reads as empty text.
    std::wstring ReadString(const wchar_t* name) const {
        DWORD type = 0, bytes = 0;
        if (RegQueryValueExW(FKey.Get(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0)
            return std::wstring();
        std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegQueryValueExW(FKey.Get(), name, nullptr, &type,
                             reinterpret_cast<BYTE*>(value.data()), &got) != ERROR_SUCCESS)
            return std::wstring();
        value.resize(got / sizeof(wchar_t));
        while (!value.empty() && value.back() == L'\0')
            value.pop_back();
        return value;
    }

private:
    TRegKeyHandle FKey;
};

const wchar_t* const kUninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Market Pos";

} // namespace

std::wstring TSetupEngine::RecordedDisplayVersion() {
    TRegKey key;
    if (!key.OpenRead(HKEY_LOCAL_MACHINE, kUninstallKey))
        return std::wstring();
    return key.ReadString(L"DisplayVersion");
}

bool TSetupEngine::WriteDisplayVersion(const std::wstring& Version) {
    HKEY key = nullptr;
    if (Version.empty() ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    TRegKeyHandle held(key);
    return RegSetValueExW(
               key, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(Version.c_str()),
               static_cast<DWORD>((Version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

const wchar_t* const SEPARATOR_LINE = L"========================================";

TSetupEngine::TSetupEngine() : TSetupEngine(CreateWindowsHost()) {}

TSetupEngine::TSetupEngine(std::unique_ptr<THost> host) : FHost(std::move(host)) {
    FHost->Attach([this](const std::wstring& msg) { Log(msg); }, [this] { return FInstallDir; });
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
    TRegKey key;
    if (!key.OpenRead(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CorvaneDB"))
        return std::wstring();
    return EngineRules::ServiceFolderFromImagePath(key.ReadString(L"ImagePath"));
}

std::wstring TSetupEngine::GetDesktopPath() const {
    wchar_t buf[MAX_PATH + 1] = {};
    if (SHGetSpecialFolderPathW(nullptr, buf, CSIDL_COMMON_DESKTOPDIRECTORY, FALSE) &&
        DirectoryExists(buf))
        return buf;
    buf[0] = L'\0';
    if (SHGetSpecialFolderPathW(nullptr, buf, CSIDL_DESKTOPDIRECTORY, FALSE) &&
        DirectoryExists(buf))
        return buf;
    buf[0] = L'\0';
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)))
        buf[0] = L'\0';
    return std::wstring(buf) + L"\\Desktop";
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
