// Entry hardening shared by the setup program and the uninstaller.
#include "uHardening.h"

#include <windows.h>

#include <sddl.h>

#include "uWinHost.h"

void HardenDllSearchOrder() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The current folder drops out of the search for the DLLs loaded the old way.
    SetDllDirectoryW(L"");
}

std::wstring System32Path(const std::wstring& program) {
    wchar_t dir[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return program;
    return std::wstring(dir, n) + L"\\" + program;
}

bool CreatePrivateTempDir(const std::wstring& prefix, std::wstring& path, std::wstring& error) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) {
        error = SysErrorMessage(GetLastError());
        return false;
    }
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[64];
    swprintf(stamp, 64, L"%04u%02u%02u%02u%02u%02u-%lu", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, GetCurrentProcessId());
    // Full control for SYSTEM and the Administrators group only, nothing inherited.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &sd, nullptr)) {
        error = SysErrorMessage(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
    const std::wstring dir = std::wstring(temp) + prefix + stamp;
    const BOOL made = CreateDirectoryW(dir.c_str(), &sa);
    const DWORD code = GetLastError();
    LocalFree(sd);
    if (!made) {
        error = SysErrorMessage(code);
        return false;
    }
    path = dir;
    return true;
}
