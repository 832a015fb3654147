#pragma once
// Small path, listing and file helpers shared by the backup store, the rollback and the
// pre-flight check. Header-only: they are a handful of lines each.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace BackupUtil {

const int64_t kMB = 1048576;

// The folder with exactly one trailing backslash added when it has none; an empty folder stays
// empty, so that a missing installation folder never turns into the root of the current drive.
inline std::wstring WithBackslash(const std::wstring& dir) {
    if (dir.empty() || dir.back() == L'\\')
        return dir;
    return dir + L"\\";
}

// The drive part of a path: "D:" or "\\server\share"; empty when the path has none.
inline std::wstring DrivePart(const std::wstring& p) {
    if (p.size() >= 2 && p[1] == L':' &&
        ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')))
        return p.substr(0, 2);
    if (p.size() > 2 && p[0] == L'\\' && p[1] == L'\\') {
        const size_t server = p.find(L'\\', 2);
        if (server == std::wstring::npos || server == 2)
            return std::wstring();
        const size_t share = p.find(L'\\', server + 1);
        return share == std::wstring::npos ? p : p.substr(0, share);
    }
    return std::wstring();
}

inline bool SameTextAscii(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z')
            x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z')
            y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y)
            return false;
    }
    return true;
}

// True when the name ends in the extension (".dll"), ignoring the case of ASCII letters.
inline bool HasExtension(const std::wstring& name, const std::wstring& ext) {
    const size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && SameTextAscii(name.substr(dot), ext);
}

class TFindHandle {
public:
    explicit TFindHandle(HANDLE h) : FHandle(h) {}
    ~TFindHandle() {
        if (FHandle != INVALID_HANDLE_VALUE)
            ::FindClose(FHandle);
    }
    TFindHandle(const TFindHandle&) = delete;
    TFindHandle& operator=(const TFindHandle&) = delete;
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }

private:
    HANDLE FHandle;
};

class TFileHandle {
public:
    explicit TFileHandle(HANDLE h = INVALID_HANDLE_VALUE) : FHandle(h) {}
    ~TFileHandle() { Close(); }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
    // Closes now and says whether the close succeeded (a failed close can lose written data).
    bool Close() {
        if (FHandle == INVALID_HANDLE_VALUE)
            return true;
        const BOOL ok = ::CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE FHandle;
};

inline int64_t SizeOf(const WIN32_FIND_DATAW& fd) {
    return static_cast<int64_t>((static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow);
}

// Size of one file as a directory search reports it; false when the search does not find a
// file (a folder of that name does not count).
inline bool ListedFileSize(const std::wstring& path, int64_t& size) {
    size = 0;
    if (path.empty())
        return false;
    WIN32_FIND_DATAW fd{};
    TFindHandle find(::FindFirstFileW(path.c_str(), &fd));
    if (!find.Valid() || (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    size = SizeOf(fd);
    return true;
}

struct TDirEntry {
    std::wstring Name;
    bool IsFolder;
    bool IsLink; // a folder that only points elsewhere (junction, symbolic link)
    int64_t Size;
};

// Entries matching a pattern ("D:\x\*", "D:\x\*.dll") in listing order, without "." and "..".
// Collected first, so that the listing is closed before any entry is worked on.
inline std::vector<TDirEntry> ListEntries(const std::wstring& pattern) {
    std::vector<TDirEntry> entries;
    WIN32_FIND_DATAW fd{};
    TFindHandle find(::FindFirstFileW(pattern.c_str(), &fd));
    if (!find.Valid())
        return entries;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const bool folder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = folder && (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries.push_back({name, folder, link, SizeOf(fd)});
    } while (::FindNextFileW(find.Get(), &fd));
    return entries;
}

inline std::wstring TwoDigits(unsigned v) {
    return std::wstring(1, static_cast<wchar_t>(L'0' + (v / 10) % 10)) +
           static_cast<wchar_t>(L'0' + v % 10);
}

// Local time as yyyymmddhhnnss (fourteen digits).
inline std::wstring LocalStamp14() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return std::to_wstring(t.wYear) + TwoDigits(t.wMonth) + TwoDigits(t.wDay) + TwoDigits(t.wHour) +
           TwoDigits(t.wMinute) + TwoDigits(t.wSecond);
}

} // namespace BackupUtil

// The calls of the pre-flight write test, reached through pointers that tests can swap to
// reach the failures a healthy folder never gives (access denied, a full disk).
extern HANDLE(WINAPI* vpfnWriteTestCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                DWORD, HANDLE);
extern BOOL(WINAPI* vpfnWriteTestWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
