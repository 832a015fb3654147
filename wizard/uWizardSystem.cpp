// The real system behind the window.
#include "uWizardSystem.h"

#include <shellapi.h>
#include <shlobj.h>

#include "uPayload.h"
#include "uSetupEngine.h"

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

std::unique_ptr<TSetupEngine> TWizardSystem::CreateEngine() {
    return std::make_unique<TSetupEngine>();
}

std::unique_ptr<TPayloadExtractor> TWizardSystem::CreatePayload() {
    return std::make_unique<TPayloadExtractor>();
}
