// File tree operations: copy (with and without retries), delete, measure, free space, and the
// one single-file copy that every file copy of the engine goes through.
//
// No walk enters a folder link (junction or symbolic link to a folder): deleting through one
// would empty its target, and copying or measuring through one would leave the tree.
#include <functional>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uSetupError.h"
#include "uWinHandles.h"
#include "uWinHost.h"

namespace {

bool IsFolder(const WIN32_FIND_DATAW& fd) {
    return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring JoinPath(const std::wstring& dir, const std::wstring& name) {
    if (!dir.empty() && dir.back() == L'\\')
        return dir + name;
    return dir + L"\\" + name;
}

// Calls visit for every entry of dir except "." and "..", in the order the system lists them.
// Returns false when the listing could not be started. The listing is closed on every path,
// also when visit raises.
bool ForEachEntry(const std::wstring& dir,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
    WIN32_FIND_DATAW fd{};
    TFindHandle find(::FindFirstFileW(JoinPath(dir, L"*").c_str(), &fd));
    if (!find)
        return false;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        visit(fd);
    } while (::FindNextFileW(find.Get(), &fd));
    return true;
}

const wchar_t* const kLongPrefix = L"\\\\?\\";

bool HasLongPrefix(const std::wstring& p) {
    return p.rfind(kLongPrefix, 0) == 0;
}

bool IsTooLong(const std::wstring& p) {
    return p.size() >= MAX_PATH && !HasLongPrefix(p);
}

// A colon is allowed only as the drive separator right after a drive letter.
bool HasBadFormat(const std::wstring& p) {
    const std::wstring s = HasLongPrefix(p) ? p.substr(4) : p;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != L':')
            continue;
        const bool driveColon =
            i == 1 && ((s[0] >= L'A' && s[0] <= L'Z') || (s[0] >= L'a' && s[0] <= L'z'));
        if (!driveColon)
            return true;
    }
    return false;
}

bool HasInvalidChars(const std::wstring& p) {
    const std::wstring s = HasLongPrefix(p) ? p.substr(4) : p;
    if (s.find_first_not_of(L" \t") == std::wstring::npos)
        return true;
    for (wchar_t c : s) {
        if (c < 32 || c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'*' || c == L'?')
            return true;
    }
    return false;
}

std::wstring FullPath(const std::wstring& p) {
    const DWORD n = ::GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return p;
    std::wstring buf(n, L'\0');
    const DWORD m = ::GetFullPathNameW(p.c_str(), n, buf.data(), nullptr);
    if (m == 0 || m >= n)
        return p;
    buf.resize(m);
    return buf;
}

bool ParentFolderMissing(const std::wstring& p) {
    const std::wstring dir = EngineRules::ExtractFileDir(FullPath(p));
    return dir.empty() || !DirectoryExists(dir);
}

} // namespace

void TWinHost::CopyOneFile(const std::wstring& src, const std::wstring& dst) {
    // Each test is made for the source, then for the target, before the next test.
    if (IsTooLong(src) || IsTooLong(dst))
        throw ESetupError(L"The specified path is too long");
    if (HasBadFormat(src) || HasBadFormat(dst))
        throw ESetupError(L"The path format is not supported");
    if (HasInvalidChars(src) || HasInvalidChars(dst))
        throw ESetupError(L"Invalid characters in path");
    if (ParentFolderMissing(src) || ParentFolderMissing(dst))
        throw ESetupError(L"The specified path was not found");
    if (!FileExists(src))
        throw ESetupError(L"The specified file was not found");
    // The copy takes the source's attributes anyway; a read-only, hidden or system target
    // would otherwise refuse to be overwritten and block every later update of that file.
    // A copy that fails leaves the target as it was, its attributes included.
    const DWORD target = ::GetFileAttributesW(dst.c_str());
    const bool cleared = target != INVALID_FILE_ATTRIBUTES &&
                         (target & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                         (target & kProtectingAttributes) != 0 &&
                         ::SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::CopyFileW(src.c_str(), dst.c_str(), FALSE)) {
        const DWORD error = ::GetLastError();
        if (cleared)
            ::SetFileAttributesW(dst.c_str(), target);
        throw ESetupError(SysErrorMessage(error));
    }
}

void TWinHost::CopyDirRecursive(const std::wstring& src, const std::wstring& dst) {
    ForceDirectories(dst);
    ForEachEntry(src, [&](const WIN32_FIND_DATAW& fd) {
        const std::wstring name = fd.cFileName;
        if (IsFolder(fd) && IsFolderLink(fd)) {
            Log(L"    ! " + name + L": klasör bağlantısı, kopyalanmadı");
            return;
        }
        if (IsFolder(fd)) {
            CopyDirRecursive(JoinPath(src, name), JoinPath(dst, name));
            return;
        }
        try {
            CopyOneFile(JoinPath(src, name), JoinPath(dst, name));
        } catch (const ESetupError& e) {
            Log(L"    ! " + name + L": " + e.Message());
        }
    });
}

void TWinHost::CopyDirWithRetry(const std::wstring& src, const std::wstring& dst, int attempts) {
    ForceDirectories(dst);
    ForEachEntry(src, [&](const WIN32_FIND_DATAW& fd) {
        const std::wstring name = fd.cFileName;
        if (IsFolder(fd) && IsFolderLink(fd)) {
            Log(L"    ! " + name + L": klasör bağlantısı, kopyalanmadı");
            return;
        }
        if (IsFolder(fd)) {
            CopyDirWithRetry(JoinPath(src, name), JoinPath(dst, name), attempts);
            return;
        }
        const bool critical =
            EngineRules::HasExtension(name, L".exe") || EngineRules::HasExtension(name, L".dll");
        // At least one attempt: with none, a file would be skipped without a word.
        const int tries = attempts < 1 ? 1 : attempts;
        for (int i = 1; i <= tries; ++i) {
            try {
                CopyOneFile(JoinPath(src, name), JoinPath(dst, name));
                return;
            } catch (const ESetupError& e) {
                if (i < tries) {
                    Log(L"    ! " + name + L" kilitli, tekrar (" + std::to_wstring(i) + L"/" +
                        std::to_wstring(tries) + L")...");
                    Sleep(2000);
                } else if (critical) {
                    throw ESetupError(L"Kritik dosya kopyalanamadı: " + name + L" - " +
                                      e.Message());
                } else {
                    Log(L"    ! " + name + L": " + e.Message());
                }
            }
        }
    });
}

int64_t TWinHost::GetFreeSpace(const std::wstring& path) {
    std::wstring drive = EngineRules::DrivePart(path);
    if (drive.empty())
        drive = EngineRules::DrivePart(InstallDir());
    if (drive.empty())
        return 0;
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW((drive + L"\\").c_str(), &available, nullptr, nullptr))
        return 0;
    return static_cast<int64_t>(available.QuadPart);
}

int64_t TWinHost::GetDirSize(const std::wstring& dir) {
    if (!DirectoryExists(dir))
        return 0;
    int64_t total = 0;
    ForEachEntry(dir, [&](const WIN32_FIND_DATAW& fd) {
        if (IsFolder(fd)) {
            if (!IsFolderLink(fd))
                total += GetDirSize(JoinPath(dir, fd.cFileName));
            return;
        }
        total += SizeOf(fd);
    });
    return total;
}

void DeleteDirRecursive(const std::wstring& Dir) {
    const DWORD attrs = ::GetFileAttributesW(Dir.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return;
    // A link goes by itself; what it points to is not ours to delete.
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::RemoveDirectoryW(Dir.c_str());
        return;
    }
    ForEachEntry(Dir, [&](const WIN32_FIND_DATAW& fd) {
        const std::wstring path = JoinPath(Dir, fd.cFileName);
        if (IsFolder(fd) && IsFolderLink(fd)) {
            ::RemoveDirectoryW(path.c_str());
        } else if (IsFolder(fd)) {
            DeleteDirRecursive(path);
        } else {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path.c_str());
        }
    });
    // A read-only folder would refuse its own removal just like a read-only file.
    ::SetFileAttributesW(Dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(Dir.c_str());
}
