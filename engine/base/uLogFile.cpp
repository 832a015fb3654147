#include "uLogFile.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uHeldFolder.h"

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

void KeepNewestLogsIn(HANDLE dir, const std::wstring& prefix, size_t keep) {
    std::vector<THeldEntry> entries;
    if (!ListHeldFolder(dir, entries))
        return;
    std::vector<std::wstring> logs;
    for (const THeldEntry& e : entries)
        if (!e.IsFolder && !e.IsLink && IsLogFileOf(e.Name, prefix))
            logs.push_back(e.Name);
    if (logs.size() <= keep)
        return;
    // Newest first. A plain comparison of the stems orders the runs: the time stamps have
    // fixed widths, and a run of the same second ("-N") sorts after the first.
    std::sort(logs.begin(), logs.end(),
              [](const std::wstring& a, const std::wstring& b) { return Stem(a) > Stem(b); });
    for (size_t i = keep; i < logs.size(); ++i) {
        DWORD error = 0;
        TWinHandle h = OpenInHeld(dir, logs[i], false, error);
        if (h && !HandleIsLink(h.Get()))
            DeleteHeld(h.Get());
    }
}

void KeepNewestLogs(const std::wstring& dir, const std::wstring& prefix, size_t keep) {
    std::wstring why;
    TWinHandle held = OpenHeldFolder(dir, true, why);
    if (held)
        KeepNewestLogsIn(held.Get(), prefix, keep);
}

std::wstring MaskPasswords(const std::wstring& line) {
    std::wstring out;
    out.reserve(line.size());
    size_t i = 0;
    while (i < line.size()) {
        const bool tokenStart = i == 0 || line[i - 1] == L' ' || line[i - 1] == L'"';
        size_t valueAt = std::wstring::npos;
        if (tokenStart && line.compare(i, 11, L"--password=") == 0)
            valueAt = i + 11;
        else if (tokenStart && line.compare(i, 2, L"-p") == 0 && i + 2 < line.size() &&
                 line[i + 2] != L' ' && line[i + 2] != L'"')
            valueAt = i + 2;
        if (valueAt == std::wstring::npos) {
            out += line[i++];
            continue;
        }
        out.append(line, i, valueAt - i);
        out += L"****";
        i = valueAt;
        while (i < line.size() && line[i] != L' ' && line[i] != L'"')
            ++i;
    }
    return out;
}

bool TLogFile::AdoptLocked(HANDLE h, const std::wstring& path) {
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseHandle(FHandle);
    FHandle = INVALID_HANDLE_VALUE;
    FPath.clear();
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
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

bool TLogFile::Adopt(HANDLE file, const std::wstring& path) {
    std::lock_guard<std::mutex> guard(FLock);
    return AdoptLocked(file, path);
}

bool TLogFile::OpenFile(const std::wstring& path, DWORD disposition) {
    std::lock_guard<std::mutex> guard(FLock);
    // Readers may look at the log while the run writes it. A link at the name is opened as
    // the link itself, never as what it points to.
    HANDLE h =
        CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        AdoptLocked(INVALID_HANDLE_VALUE, path);
        return false;
    }
    return AdoptLocked(h, path);
}

bool TLogFile::Create(const std::wstring& path) {
    return OpenFile(path, CREATE_NEW);
}

bool TLogFile::OpenAppend(const std::wstring& path, std::wstring* why) {
    const auto refuse = [&](const std::wstring& reason) {
        Close();
        if (why)
            *why = reason;
        return false;
    };
    // By name first: Wine shows its links only there, and would follow one when opening.
    WIN32_FIND_DATAW fd{};
    const HANDLE find = FindFirstFileW(path.c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        if (fd.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
            return refuse(L"bir bağlantı veya klasör");
    }
    if (!OpenFile(path, OPEN_ALWAYS))
        return refuse(L"açılamadı: " + SysErrorMessage(GetLastError()));
    std::lock_guard<std::mutex> guard(FLock);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(FHandle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1) {
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
        FPath.clear();
        if (why)
            *why = L"bir bağlantı veya birden çok adı olan bir dosya";
        return false;
    }
    return true;
}

std::string LogTimePrefix(const SYSTEMTIME& t) {
    char text[16] = {};
    snprintf(text, sizeof text, "%02u:%02u:%02u.%03u ", t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
    return text;
}

void TLogFile::WriteLine(const std::wstring& line) {
    // The file says when each line came; the window shows the lines without it.
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const std::string bytes = LogTimePrefix(now) + ToUtf8(MaskPasswords(line)) + "\r\n";
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

namespace {

// Creates the run's log file in the held Logs folder: never through a link, never over an
// existing file.
bool OpenRunLogAt(TLogFile& log, HANDLE logs, const std::wstring& dir, const std::wstring& prefix,
                  const SYSTEMTIME& time, size_t keep) {
    const std::wstring first = LogFileName(prefix, time);
    bool opened = false;
    // Another run of the same second: the next free "-N".
    for (int n = 1; !opened && n < 100; ++n) {
        const std::wstring name =
            n == 1 ? first
                   : first.substr(0, first.size() - 4) + L"-" + std::to_wstring(n) + L".log";
        DWORD error = 0;
        TWinHandle h = CreateInHeld(logs, name, error);
        if (h) {
            opened = log.Adopt(h.Release(), WithBackslash(dir) + name);
            break;
        }
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    if (opened)
        KeepNewestLogsIn(logs, prefix, keep);
    return opened;
}

} // namespace

bool OpenRunLogIn(TLogFile& log, const std::wstring& dir, const std::wstring& prefix,
                  const SYSTEMTIME& time, size_t keep) {
    const std::wstring parent = EngineRules::ExtractFileDir(dir);
    if (dir.empty() || parent.empty() || !ForceDirectories(parent))
        return false;
    std::wstring why;
    TWinHandle up = OpenHeldFolder(parent, true, why);
    TWinHandle logs =
        up ? OpenProtectedInHeld(up.Get(), EngineRules::ExtractFileName(dir), true, why)
           : TWinHandle();
    return logs && OpenRunLogAt(log, logs.Get(), dir, prefix, time, keep);
}

bool OpenRunLog(TLogFile& log, const std::wstring& prefix, size_t keep) {
    const std::wstring dir = LogsDir();
    if (dir.empty())
        return false;
    const std::wstring market = EngineRules::ExtractFileDir(dir);
    // ProgramData lets every user make folders: CorvaneMarket or Logs made (or turned into a
    // link) by one of them is not used.
    std::wstring why;
    TWinHandle programData = OpenHeldFolder(EngineRules::ExtractFileDir(market), true, why);
    TWinHandle corvane = programData
                             ? OpenProtectedInHeld(programData.Get(), L"CorvaneMarket", false, why)
                             : TWinHandle();
    TWinHandle logs =
        corvane ? OpenProtectedInHeld(corvane.Get(), L"Logs", true, why) : TWinHandle();
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return logs && OpenRunLogAt(log, logs.Get(), dir, prefix, now, keep);
}
