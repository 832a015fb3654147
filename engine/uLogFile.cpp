// Log files under ProgramData.
#include "uLogFile.h"

#include <windows.h>

#include <shlobj.h>

#include "uFileUtil.h"

std::wstring LogsFolder() {
    wchar_t buf[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)) ||
        buf[0] == L'\0')
        return std::wstring();
    return std::wstring(buf) + L"\\CorvaneMarket\\Logs";
}

TLogFile::~TLogFile() {
    if (FFile)
        CloseHandle(FFile);
}

bool TLogFile::Open(const std::wstring& prefix) {
    const std::wstring folder = LogsFolder();
    if (folder.empty() || !ForceDirectories(folder))
        return false;
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    swprintf(stamp, 32, L"-%04u%02u%02u-%02u%02u%02u.log", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond);
    const std::wstring path = folder + L"\\" + prefix + stamp;
    // Two runs in one second write one after the other into the same file.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FFile = file;
    FPath = path;
    return true;
}

void TLogFile::WriteLine(const std::wstring& line) {
    std::lock_guard<std::mutex> hold(FLock);
    if (!FFile)
        return;
    const std::wstring text = line + L"\r\n";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(FFile, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
