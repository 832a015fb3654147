// Back-office service, desktop shortcut and the uninstall entry.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>

#include "uAppRegistration.h"
#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uInstallation.h"
#include "uSetupEngine.h"
#include "uWinHandles.h"

TRegSetValueExW vpfnRegSetValueExW = ::RegSetValueExW;

const wchar_t* const PRODUCT_URL = L"https://www.corvane.com.tr/market-pos";
const wchar_t* const SUPPORT_URL = L"https://www.corvane.com.tr/destek";

namespace {

// The uninstall key, opened for writing.
class TRegKey {
public:
    bool Create(HKEY root, const wchar_t* path) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return false;
        FKey.Reset(key);
        return true;
    }
    void WriteString(const wchar_t* name, const std::wstring& value) {
        Write(name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
    }
    void WriteDword(const wchar_t* name, DWORD value) {
        Write(name, REG_DWORD, &value, sizeof value);
    }

private:
    void Write(const wchar_t* name, DWORD type, const void* data, size_t bytes) {
        if (vpfnRegSetValueExW(FKey.Get(), name, 0, type, static_cast<const BYTE*>(data),
                               static_cast<DWORD>(bytes)) != ERROR_SUCCESS)
            throw ESetupError(L"Failed to set data for '" + std::wstring(name) + L"'");
    }
    TRegKeyHandle FKey;
};

// CoInitialize on the worker thread for the span of one step, undone whatever happens.
class TComScope {
public:
    TComScope() { CoInitialize(nullptr); }
    ~TComScope() { CoUninitialize(); }
    TComScope(const TComScope&) = delete;
    TComScope& operator=(const TComScope&) = delete;
};

} // namespace

void CreateShellLink(const std::wstring& Target, const std::wstring& LinkFile,
                     const std::wstring& Description) {
    TComPtr<IUnknown> object;
    const HRESULT hr =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                         IID_IUnknown, object.Out());
    if (FAILED(hr))
        throw ESetupError(SysErrorMessage(static_cast<unsigned long>(hr)) +
                          L", ClassID: {00021401-0000-0000-C000-000000000046}");
    TComPtr<IShellLinkW> link;
    TComPtr<IPersistFile> file;
    if (FAILED(object->QueryInterface(IID_IShellLinkW, link.Out())) ||
        FAILED(object->QueryInterface(IID_IPersistFile, file.Out())))
        throw ESetupError(L"Interface not supported");
    link->SetPath(Target.c_str());
    link->SetWorkingDirectory(EngineRules::ExtractFileDir(Target).c_str());
    link->SetDescription(Description.c_str());
    link->SetIconLocation(Target.c_str(), 0);
    file->Save(LinkFile.c_str(), FALSE);
}

void TSetupEngine::InstallAppService() {
    Log(L"[12/14] CorvaneMarketService...");
    const std::wstring server = FInstallDir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe";
    if (RunCmd(L"sc query CorvaneMarketService", 5000) == 0) {
        Log(L"  CorvaneMarketService zaten kurulu - atlanıyor");
        Log(L"  Servis yeniden başlatılıyor...");
        RunCmd(L"net stop CorvaneMarketService", 10000);
        Sleep(2000);
        RunCmd(L"net start CorvaneMarketService", 10000);
        Sleep(2000);
        if (RunCmd(L"sc query CorvaneMarketService", 5000) == 0)
            Log(L"  OK - CorvaneMarketService çalışıyor");
        else
            Log(L"  ! UYARI: CorvaneMarketService yeniden başlatılamadı");
    } else if (FileExists(server)) {
        RegisterAppService(server);
    } else {
        Log(L"  ! CorvaneMarketServer.exe bulunamadı - atlandı");
    }
}

void TSetupEngine::CreateShortcut() {
    Log(L"[13/14] Kısayollar...");
    const std::wstring desktop = GetDesktopPath();
    Log(L"  Desktop yolu: " + desktop);
    {
        TComScope com;
        const std::wstring till = FInstallDir + L"\\CorvaneZideroZUR.exe";
        if (FileExists(till)) {
            try {
                CreateShellLink(till, desktop + L"\\Corvane Market Pos.lnk", L"Corvane Market Pos");
                Log(L"  Corvane Market Pos.lnk OK");
            } catch (const ESetupError& e) {
                Log(L"  ! Corvane Market Pos.lnk: " + e.Message());
            }
        } else {
            Log(L"  ! CorvaneZideroZUR.exe bulunamadı");
        }
    }
    Log(L"  OK");
}

void TSetupEngine::RegisterUninstall() {
    Log(L"[14/14] Program Ekle/Kaldır kaydı...");
    const std::wstring uninstaller = FInstallDir + L"\\Uninstall Corvane Market Pos.exe";
    if (FileExists(uninstaller))
        Log(L"  Uninstaller EXE OK: " + uninstaller);
    else
        Log(L"  ! Uninstaller EXE bulunamadı: " + uninstaller);
    TRegKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, Installation::UNINSTALL_KEY)) {
        try {
            key.WriteString(L"DisplayName", L"Corvane Market Pos");
            // The release's version: detection rules and the package manager compare it.
            key.WriteString(L"DisplayVersion", FVersion.empty() ? L"1.0.0" : FVersion);
            key.WriteString(L"Publisher", L"Corvane");
            key.WriteString(L"InstallLocation", FInstallDir);
            key.WriteString(L"UninstallString", L"\"" + uninstaller + L"\"");
            // What deployment tools run to remove the product without a window.
            key.WriteString(L"QuietUninstallString", L"\"" + uninstaller + L"\" /S");
            key.WriteString(L"URLInfoAbout", PRODUCT_URL);
            key.WriteString(L"HelpLink", SUPPORT_URL);
            SYSTEMTIME now = {};
            GetLocalTime(&now);
            wchar_t date[16] = {};
            swprintf(date, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
            key.WriteString(L"InstallDate", date);
            // In KB, as Apps & features shows it.
            const int64_t bytes = GetDirSize(FInstallDir);
            key.WriteDword(L"EstimatedSize", static_cast<DWORD>(bytes > 0 ? bytes / 1024 : 0));
            key.WriteDword(L"NoModify", 1);
            key.WriteDword(L"NoRepair", 1);
            if (FileExists(FInstallDir + L"\\CorvaneZideroZUR.exe"))
                key.WriteString(L"DisplayIcon", FInstallDir + L"\\CorvaneZideroZUR.exe,0");
            Log(L"  Registry OK");
        } catch (const ESetupError& e) {
            Log(L"  ! Registry hatası: " + e.Message());
        }
    } else {
        Log(L"  ! Registry anahtar açılamadı");
    }
    Log(L"  OK");
}
