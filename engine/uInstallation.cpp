// The installation as the machine records it: registry values, the desktop, the backup folder.
#include "uInstallation.h"

#include <windows.h>

#include <shlobj.h>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uWinHandles.h"

namespace {

// A text value of a key under HKLM; a missing, unreadable or oversized value reads as empty.
std::wstring ReadText(const wchar_t* path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::wstring();
    TRegKeyHandle held(key);
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0 || bytes > 65536)
        return std::wstring();
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &got) !=
        ERROR_SUCCESS)
        return std::wstring();
    // The stored text need not end in a zero.
    value.resize(got / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return value;
}

} // namespace

namespace Installation {

std::wstring RecordedInstallLocation() {
    return ReadText(UNINSTALL_KEY, L"InstallLocation");
}

std::wstring RecordedDisplayVersion() {
    return ReadText(UNINSTALL_KEY, L"DisplayVersion");
}

bool WriteDisplayVersion(const std::wstring& version) {
    HKEY key = nullptr;
    if (version.empty() ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    TRegKeyHandle held(key);
    return RegSetValueExW(
               key, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
               static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring DatabaseServiceFolder() {
    return EngineRules::ServiceFolderFromImagePath(
        ReadText(L"SYSTEM\\CurrentControlSet\\Services\\CorvaneDB", L"ImagePath"));
}

std::wstring DesktopPath() {
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

std::wstring BackupDir(const std::wstring& installDir) {
    std::wstring drive = EngineRules::DrivePart(installDir);
    if (drive.empty())
        drive = L"C:";
    return drive + L"\\CorvaneUpdateYedek";
}

} // namespace Installation
