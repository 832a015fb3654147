// The real system behind the window.
#include "uWizardSystem.h"

#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>

#include <cstring>
#include <type_traits>

#include "uCommandLine.h"
#include "uInstallation.h"
#include "uPayload.h"
#include "uWizardRules.h"
#include "uSetupEngine.h"
#include "uWinHandles.h"

bool TWizardSystem::IsAdmin() {
    return IsUserAnAdmin() != FALSE;
}

std::wstring TWizardSystem::ExePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::wstring();
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768)
            return std::wstring();
        buf.resize(buf.size() * 2); // a long path was cut: try again with room for it
    }
}

INT_PTR TWizardSystem::ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                                        const wchar_t* params, const std::wstring& dir, int show) {
    return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, verb, file.c_str(), params,
                                                   dir.empty() ? nullptr : dir.c_str(), show));
}

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

bool TWizardSystem::RunElevatedAndWait(const std::wstring& file, const std::wstring& params,
                                       const std::wstring& dir, DWORD& exitCode) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = params.empty() ? nullptr : params.c_str();
    info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info) || !info.hProcess) {
        exitCode = GetLastError();
        if (exitCode == ERROR_SUCCESS)
            exitCode = ERROR_FILE_NOT_FOUND;
        return false;
    }
    // An installation with a full copy takes minutes, not hours: a copy that is still running
    // after twelve hours hangs, and the caller is told the run failed.
    exitCode = EXIT_FAILED;
    if (WaitForSingleObject(info.hProcess, 12 * 60 * 60 * 1000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(info.hProcess, &exitCode))
        exitCode = EXIT_FAILED;
    CloseHandle(info.hProcess);
    return true;
}

int TWizardSystem::ShowMessageBox(HWND owner, const std::wstring& text, UINT type) {
    return MessageBoxW(owner, text.c_str(), APP_TITLE, type);
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

std::unique_ptr<TSetupEngine> TWizardSystem::CreateEngine() {
    return std::make_unique<TSetupEngine>();
}

std::unique_ptr<TPayloadExtractor> TWizardSystem::CreatePayload() {
    return std::make_unique<TPayloadExtractor>();
}
