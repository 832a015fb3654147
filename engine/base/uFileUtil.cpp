#include "uFileUtil.h"

#include <windows.h>

#include <cstring>

#include "uEngineRules.h"
#include "uHardening.h"
#include "uSetupError.h"
#include "uWin32Seam.h"
#include "uWinHandles.h"

bool FileExists(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::wstring& dir) {
    const DWORD attr = GetFileAttributesW(dir.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::wstring& dir) {
    std::wstring d = dir;
    while (d.size() > 3 && d.back() == L'\\')
        d.pop_back();
    if (d.empty())
        return false;
    if (DirectoryExists(d))
        return true;
    const std::wstring parent = EngineRules::ExtractFileDir(d);
    if (!parent.empty() && parent != d)
        ForceDirectories(parent);
    return CreateDirectoryW(d.c_str(), nullptr) || DirectoryExists(d);
}

std::wstring WithBackslash(const std::wstring& dir) {
    if (dir.empty() || dir.back() == L'\\')
        return dir;
    return dir + L"\\";
}

bool IsFolderLink(const WIN32_FIND_DATAW& fd) {
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    return fd.dwReserved0 == 0 || IsReparseTagNameSurrogate(fd.dwReserved0);
}

int64_t SizeOf(const WIN32_FIND_DATAW& fd) {
    return static_cast<int64_t>((static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow);
}

bool ListedFileSize(const std::wstring& path, int64_t& size) {
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

bool SameFileContents(const std::wstring& a, const std::wstring& b) {
    const auto open = [](const std::wstring& path) {
        return TWinHandle(::CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    TWinHandle fa = open(a), fb = open(b);
    LARGE_INTEGER sa{}, sb{};
    if (!fa || !fb || !::GetFileSizeEx(fa.Get(), &sa) || !::GetFileSizeEx(fb.Get(), &sb) ||
        sa.QuadPart != sb.QuadPart)
        return false;
    std::vector<char> ba(64 * 1024), bb(64 * 1024);
    for (;;) {
        DWORD na = 0, nb = 0;
        if (!::ReadFile(fa.Get(), ba.data(), static_cast<DWORD>(ba.size()), &na, nullptr) ||
            !::ReadFile(fb.Get(), bb.data(), static_cast<DWORD>(bb.size()), &nb, nullptr) ||
            na != nb)
            return false;
        if (na == 0)
            return true;
        if (memcmp(ba.data(), bb.data(), na) != 0)
            return false;
    }
}

std::vector<TDirEntry> ListEntries(const std::wstring& pattern) {
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
        entries.push_back({name, folder, IsFolderLink(fd), SizeOf(fd)});
    } while (::FindNextFileW(find.Get(), &fd));
    return entries;
}

namespace {

std::string Encode(const std::wstring& text, unsigned codePage) {
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

} // namespace

namespace {

std::string TextFileBytes(const std::vector<std::wstring>& lines, unsigned codePage) {
    if (codePage == 0)
        codePage = GetACP();
    std::string bytes;
    if (codePage == CP_UTF8)
        bytes = "\xEF\xBB\xBF";
    for (const auto& line : lines)
        bytes += Encode(line, codePage) + "\r\n";
    return bytes;
}

// Writes BYTES into the open FILE (INVALID_HANDLE_VALUE: the creation failed with ERROR).
void WriteWhole(TFileHandle& file, DWORD error, const std::wstring& path,
                const std::string& bytes) {
    if (!file.Valid())
        throw ESetupError(L"Cannot create file \"" + path + L"\". " + SysErrorMessage(error));
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !file.Close())
        // A full disk must not leave a silently truncated configuration behind.
        throw ESetupError(L"Cannot write file \"" + path + L"\". " +
                          SysErrorMessage(GetLastError()));
}

} // namespace

void WriteTextFile(const std::wstring& path, const std::vector<std::wstring>& lines,
                   unsigned codePage) {
    const std::string bytes = TextFileBytes(lines, codePage);
    // Windows refuses CREATE_ALWAYS over a read-only file, and over a hidden or system one
    // unless the same attributes are asked for: the file is replaced as a plain one. Should the
    // creation fail all the same, the file keeps the attributes it had.
    const DWORD before = GetFileAttributesW(path.c_str());
    const bool cleared = before != INVALID_FILE_ATTRIBUTES &&
                         (before & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                         (before & kProtectingAttributes) != 0 &&
                         SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // No sharing while it is written: nobody reads half a configuration.
    TFileHandle file(vpfnCreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = file.Valid() ? ERROR_SUCCESS : GetLastError();
    if (!file.Valid() && cleared)
        SetFileAttributesW(path.c_str(), before);
    WriteWhole(file, error, path, bytes);
}

void WritePrivateTextFile(const std::wstring& path, const std::vector<std::wstring>& lines) {
    const std::string bytes = TextFileBytes(lines, 0);
    TFileHandle file(CreatePrivateFile(path));
    WriteWhole(file, file.Valid() ? ERROR_SUCCESS : GetLastError(), path, bytes);
}

bool FlushFile(const std::wstring& path, DWORD& error) {
    error = ERROR_SUCCESS;
    const DWORD attrs = GetFileAttributesW(path.c_str());
    const bool readOnly =
        attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly)
        SetFileAttributesW(path.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
    TFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    bool ok = file.Valid() && FlushFileBuffers(file.Get());
    if (!ok)
        error = GetLastError();
    if (!file.Close() && ok) {
        ok = false;
        error = GetLastError();
    }
    if (readOnly)
        SetFileAttributesW(path.c_str(), attrs);
    return ok;
}

bool WriteDurableFile(const std::wstring& path, const std::string& bytes, DWORD& error) {
    error = ERROR_SUCCESS;
    TFileHandle file(vpfnCreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file.Valid()) {
        error = GetLastError();
        return false;
    }
    DWORD written = 0;
    bool ok =
        WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && FlushFileBuffers(file.Get());
    if (!ok)
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : DWORD(ERROR_WRITE_FAULT);
    if (!file.Close() && ok) {
        ok = false;
        error = GetLastError();
    }
    if (!ok)
        DeleteFileW(path.c_str());
    return ok;
}

std::wstring SysErrorMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring msg;
    if (n != 0 && text != nullptr)
        msg.assign(text, n);
    if (text != nullptr)
        ::LocalFree(text);
    // The system's texts end in a line break; the log and the messages carry one line.
    while (!msg.empty() && (msg.back() == L'\r' || msg.back() == L'\n' || msg.back() == L' '))
        msg.pop_back();
    if (msg.empty())
        msg = L"System error " + std::to_wstring(code);
    return msg;
}
