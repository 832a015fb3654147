#include "uLogFile.h"

#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "uFileUtil.h"

namespace {

bool AllDigits(const std::wstring& s, size_t from, size_t count) {
    if (from + count > s.size())
        return false;
    for (size_t i = from; i < from + count; ++i)
        if (s[i] < L'0' || s[i] > L'9')
            return false;
    return true;
}

// The name without ".log": the order of these stems is the order of the runs, since a run of
// the same second carries "-N" after the stem of the first.
std::wstring Stem(const std::wstring& name) {
    return name.substr(0, name.size() - 4);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

} // namespace

std::wstring LogsDir() {
    wchar_t buf[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)) ||
        buf[0] == L'\0')
        return std::wstring();
    std::wstring dir = buf;
    while (!dir.empty() && dir.back() == L'\\')
        dir.pop_back();
    return dir + L"\\CorvaneMarket\\Logs";
}

std::wstring LogFileName(const std::wstring& prefix, const SYSTEMTIME& time) {
    wchar_t stamp[32] = {};
    swprintf(stamp, 32, L"-%04u%02u%02u-%02u%02u%02u.log", time.wYear, time.wMonth, time.wDay,
             time.wHour, time.wMinute, time.wSecond);
    return prefix + stamp;
}

bool IsLogFileOf(const std::wstring& name, const std::wstring& prefix) {
    // prefix "-" 8 digits "-" 6 digits, then optionally "-" and digits, then ".log"
    const size_t p = prefix.size();
    if (name.size() < p + 20 || _wcsnicmp(name.c_str(), prefix.c_str(), p) != 0)
        return false;
    if (name[p] != L'-' || !AllDigits(name, p + 1, 8) || name[p + 9] != L'-' ||
        !AllDigits(name, p + 10, 6))
        return false;
    size_t rest = p + 16;
    if (name[rest] == L'-') {
        size_t digits = 0;
        while (rest + 1 + digits < name.size() && AllDigits(name, rest + 1 + digits, 1))
            ++digits;
        if (digits == 0)
            return false;
        rest += 1 + digits;
    }
    return name.size() == rest + 4 && _wcsicmp(name.c_str() + rest, L".log") == 0;
}

void KeepNewestLogs(const std::wstring& dir, const std::wstring& prefix, size_t keep) {
    std::vector<std::wstring> logs;
    for (const TDirEntry& e : ListEntries(WithBackslash(dir) + prefix + L"-*.log"))
        if (!e.IsFolder && IsLogFileOf(e.Name, prefix))
            logs.push_back(e.Name);
    if (logs.size() <= keep)
        return;
    // Newest first. A plain comparison of the stems orders the runs: the time stamps have
    // fixed widths, and a run of the same second ("-N") sorts after the first.
    std::sort(logs.begin(), logs.end(),
              [](const std::wstring& a, const std::wstring& b) { return Stem(a) > Stem(b); });
    for (size_t i = keep; i < logs.size(); ++i)
        DeleteFileW((WithBackslash(dir) + logs[i]).c_str());
}

bool TLogFile::OpenFile(const std::wstring& path, DWORD disposition) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseHandle(FHandle);
    FHandle = INVALID_HANDLE_VALUE;
    FPath.clear();
    // Readers may look at the log while the run writes it.
    HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(h, &size))
        size.QuadPart = -1;
    if (size.QuadPart == 0) {
        static const char bom[3] = {'\xEF', '\xBB', '\xBF'};
        DWORD written = 0;
        if (!WriteFile(h, bom, 3, &written, nullptr) || written != 3) {
            CloseHandle(h);
            return false;
        }
    }
    FHandle = h;
    FPath = path;
    return true;
}

bool TLogFile::Create(const std::wstring& path) {
    return OpenFile(path, CREATE_NEW);
}

bool TLogFile::OpenAppend(const std::wstring& path) {
    return OpenFile(path, OPEN_ALWAYS);
}

void TLogFile::WriteLine(const std::wstring& line) {
    const std::string bytes = ToUtf8(line) + "\r\n";
    std::lock_guard<std::mutex> guard(FLock);
    if (FHandle == INVALID_HANDLE_VALUE)
        return;
    // One unbuffered write per line: once WriteFile returns, the line belongs to the system's
    // cache and survives a crash of this process. No FlushFileBuffers: a disk flush per line
    // would make a copy of thousands of files wait on the disk for every line it logs.
    DWORD written = 0;
    if (!WriteFile(FHandle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }
}

void TLogFile::Close() {
    std::lock_guard<std::mutex> guard(FLock);
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseHandle(FHandle);
    FHandle = INVALID_HANDLE_VALUE;
    FPath.clear();
}

bool TLogFile::IsOpen() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FHandle != INVALID_HANDLE_VALUE;
}

std::wstring TLogFile::Path() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FPath;
}

bool OpenRunLogIn(TLogFile& log, const std::wstring& dir, const std::wstring& prefix,
                  const SYSTEMTIME& time, size_t keep) {
    if (dir.empty() || !ForceDirectories(dir))
        return false;
    const std::wstring first = LogFileName(prefix, time);
    bool opened = log.Create(WithBackslash(dir) + first);
    // Another run of the same second: the next free "-N".
    for (int n = 2; !opened && n < 100 && GetLastError() == ERROR_FILE_EXISTS; ++n)
        opened = log.Create(WithBackslash(dir) + first.substr(0, first.size() - 4) + L"-" +
                            std::to_wstring(n) + L".log");
    if (opened)
        KeepNewestLogs(dir, prefix, keep);
    return opened;
}

bool OpenRunLog(TLogFile& log, const std::wstring& prefix, size_t keep) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return OpenRunLogIn(log, LogsDir(), prefix, now, keep);
}
