// The real system behind the window.
#include "uWizardSystem.h"

#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlobj.h>

#include <cstring>

#include "uFileUtil.h"
#include "uInstallation.h"
#include "uPayload.h"
#include "uWizardRules.h"
#include "uSetupEngine.h"
#include "uWinHandles.h"

namespace {

// The desktop window's view, its automation object, and its ShellExecute: the program then
// runs in the shell's process, as the signed-in user.
bool ShellExecuteThroughDesktop(const std::wstring& file, const std::wstring& dir) {
    TComPtr<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                windows.Out())))
        return false;
    VARIANT location;
    VariantInit(&location);
    VARIANT empty;
    VariantInit(&empty);
    long hwnd = 0;
    TComPtr<IDispatch> desktop;
    if (windows->FindWindowSW(&location, &empty, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH,
                              desktop.Put()) != S_OK ||
        !desktop.Get())
        return false;
    TComPtr<IServiceProvider> provider;
    TComPtr<IShellBrowser> browser;
    TComPtr<IShellView> view;
    TComPtr<IDispatch> background;
    TComPtr<IShellFolderViewDual> folderView;
    TComPtr<IDispatch> application;
    TComPtr<IShellDispatch2> shell;
    if (FAILED(desktop->QueryInterface(IID_IServiceProvider, provider.Out())) ||
        FAILED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.Out())) ||
        FAILED(browser->QueryActiveShellView(view.Put())) ||
        FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Out())) ||
        FAILED(background->QueryInterface(IID_IShellFolderViewDual, folderView.Out())) ||
        FAILED(folderView->get_Application(application.Put())) ||
        FAILED(application->QueryInterface(IID_IShellDispatch2, shell.Out())))
        return false;
    BSTR fileText = SysAllocString(file.c_str());
    VARIANT args, folder, verb, show;
    VariantInit(&args);
    VariantInit(&folder);
    VariantInit(&verb);
    VariantInit(&show);
    folder.vt = VT_BSTR;
    folder.bstrVal = SysAllocString(dir.c_str());
    verb.vt = VT_BSTR;
    verb.bstrVal = SysAllocString(L"open");
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    const HRESULT hr = shell->ShellExecute(fileText, args, folder, verb, show);
    SysFreeString(fileText);
    VariantClear(&folder);
    VariantClear(&verb);
    return SUCCEEDED(hr);
}

} // namespace

bool TWizardSystem::StartAsSignedInUser(const std::wstring& file, const std::wstring& dir) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool started = ShellExecuteThroughDesktop(file, dir);
    if (SUCCEEDED(init))
        CoUninitialize();
    return started;
}

std::wstring FixedFileVersion(const void* resource, size_t bytes) {
    const auto* data = static_cast<const unsigned char*>(resource);
    // The fixed part follows the root's key, on a 32-bit boundary.
    for (size_t at = 0; data && at + sizeof(VS_FIXEDFILEINFO) <= bytes; at += 4) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, data + at, sizeof info);
        if (info.dwSignature != 0xFEEF04BD)
            continue;
        if (info.dwFileVersionMS == 0 && HIWORD(info.dwFileVersionLS) == 0)
            return std::wstring();
        return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." +
               std::to_wstring(LOWORD(info.dwFileVersionMS)) + L"." +
               std::to_wstring(HIWORD(info.dwFileVersionLS));
    }
    return std::wstring();
}

std::wstring TWizardSystem::ProgramVersion() {
    if (HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION)) {
        HGLOBAL loaded = LoadResource(nullptr, res);
        const std::wstring stamped =
            FixedFileVersion(loaded ? LockResource(loaded) : nullptr, SizeofResource(nullptr, res));
        if (!stamped.empty())
            return stamped;
    }
    return WizardRules::VersionFromExeName(ExePath());
}

DWORD TWizardSystem::LogicalDrives() {
    return GetLogicalDrives();
}

UINT TWizardSystem::DriveType(const std::wstring& root) {
    return GetDriveTypeW(root.c_str());
}

std::optional<uint64_t> TWizardSystem::FreeBytes(const std::wstring& root) {
    ULARGE_INTEGER freeToCaller = {};
    if (!GetDiskFreeSpaceExW(root.c_str(), &freeToCaller, nullptr, nullptr))
        return std::nullopt;
    return freeToCaller.QuadPart;
}

std::wstring TWizardSystem::RecordedInstallLocation() {
    return Installation::RecordedInstallLocation();
}

std::vector<WizardRules::TDriveItem> TWizardSystem::FixedDrives() {
    std::vector<WizardRules::TDriveItem> drives;
    const DWORD mask = LogicalDrives();
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        if ((mask & (1u << (letter - L'A'))) != 0 && DriveType(root) == DRIVE_FIXED)
            drives.push_back({letter, DirectoryExists(root + L"CorvaneZideroZur")});
    }
    return drives;
}

std::wstring TWizardSystem::InstalledDir() {
    const std::wstring recorded = WizardRules::CleanInstallLocation(RecordedInstallLocation());
    if (!recorded.empty() && DirectoryExists(recorded))
        return WizardRules::InstalledFolder(recorded, true, {});
    return WizardRules::InstalledFolder(recorded, false, FixedDrives());
}

std::unique_ptr<TSetupEngine> TWizardSystem::CreateEngine() {
    return std::make_unique<TSetupEngine>();
}

std::unique_ptr<TPayloadExtractor> TWizardSystem::CreatePayload() {
    return std::make_unique<TPayloadExtractor>();
}
