// The file layer on Win32: the setup program and its tests under Wine.
#include <windows.h>

#include <winternl.h>

#include <map>
#include <mutex>
#include <vector>

#include "uHardening.h"
#include "uPayload.h"
#include "uZipFiles.h"

namespace {

std::wstring SystemText(DWORD err) {
    wchar_t* buf = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::wstring text = n && buf ? std::wstring(buf, n) : L"System error " + std::to_wstring(err);
    if (buf)
        LocalFree(buf);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

[[noreturn]] void FailFile(const wchar_t* what, const std::wstring& path, DWORD err) {
    throw EZipError(std::wstring(what) + L" \"" + path + L"\". " + SystemText(err));
}

class THandle {
public:
    explicit THandle(HANDLE h = INVALID_HANDLE_VALUE) : FHandle(h) {}
    ~THandle() { Reset(); }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE && FHandle != nullptr; }
    BOOL Reset() {
        BOOL ok = TRUE;
        if (Valid())
            ok = CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE FHandle;
};

// The extended form (\\?\C:\... or \\?\UNC\server\share\...) of a path made absolute.
std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full;
    if (n) {
        full.resize(n);
        n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
        full.resize(n);
    }
    if (full.empty())
        full = path;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Reads at given offsets of a file that stays open elsewhere.
class TWinReader : public TZipInput {
public:
    TWinReader(HANDLE h, std::wstring path, uint64_t size)
        : FRead(h), FPath(std::move(path)), FSize(size) {}
    uint64_t Size() const override { return FSize; }
    void ReadAt(uint64_t off, void* buf, size_t n) override {
        if (off > FSize || n > FSize - off)
            throw EZipError(L"unexpected end of file \"" + FPath + L"\"");
        auto* p = static_cast<unsigned char*>(buf);
        while (n > 0) {
            OVERLAPPED ov{};
            ov.Offset = DWORD(off);
            ov.OffsetHigh = DWORD(off >> 32);
            const DWORD want = n > 0x40000000 ? 0x40000000 : DWORD(n);
            DWORD got = 0;
            if (!ReadFile(FRead, p, want, &got, &ov)) {
                const DWORD err = GetLastError();
                if (err != ERROR_HANDLE_EOF)
                    FailFile(L"Cannot read file", FPath, err);
            }
            if (got == 0)
                throw EZipError(L"unexpected end of file \"" + FPath + L"\"");
            p += got;
            off += got;
            n -= got;
        }
    }

private:
    HANDLE FRead;
    std::wstring FPath;
    uint64_t FSize;
};

class TWinInput : public TWinReader {
public:
    TWinInput(HANDLE h, std::wstring path, uint64_t size)
        : TWinReader(h, std::move(path), size), FHandle(h) {}

private:
    THandle FHandle;
};

void WriteAll(HANDLE h, const void* buf, size_t n, const std::wstring& path) {
    const auto* p = static_cast<const unsigned char*>(buf);
    while (n > 0) {
        const DWORD want = n > 0x40000000 ? 0x40000000 : DWORD(n);
        DWORD done = 0;
        if (!WriteFile(h, p, want, &done, nullptr) || done == 0)
            FailFile(L"Cannot write file", path, GetLastError());
        p += done;
        n -= done;
    }
}

class TWinOutFile : public TZipOutFile {
public:
    TWinOutFile(HANDLE h, std::wstring path) : FHandle(h), FPath(std::move(path)) {}
    void Write(const void* buf, size_t n) override { WriteAll(FHandle.Get(), buf, n, FPath); }
    void Close() override {
        if (!FHandle.Reset())
            FailFile(L"Cannot write file", FPath, GetLastError());
    }
    void Discard() override {
        // Through the handle: the name may no longer lead to this file.
        FILE_DISPOSITION_INFO gone{TRUE};
        if (FHandle.Valid())
            SetFileInformationByHandle(FHandle.Get(), FileDispositionInfo, &gone, sizeof(gone));
        FHandle.Reset();
    }

private:
    THandle FHandle;
    std::wstring FPath;
};

// The archive copy: written, then read back through the same handle.
class TWinCopy : public TArchiveCopy {
public:
    TWinCopy(HANDLE h, std::wstring path) : FHandle(h), FPath(std::move(path)) {}
    void Write(const void* buf, size_t n) override {
        WriteAll(FHandle.Get(), buf, n, FPath);
        FSize += n;
    }
    TZipInput& Finish() override {
        FReader = std::make_unique<TWinReader>(FHandle.Get(), FPath, FSize);
        return *FReader;
    }

private:
    THandle FHandle;
    std::wstring FPath;
    uint64_t FSize = 0;
    std::unique_ptr<TWinReader> FReader;
};

// --- writing below a folder without following links ---------------------------------------
//
// Every folder and file is opened relative to the handle of the folder above it (NtCreateFile
// with a root directory, from ntdll without importing it), never by a full path: a folder that
// was moved aside and replaced by a junction after we opened it is not seen at all. A link met
// on the way (planted before we got there) is refused, by the handle opened on the link itself
// (Windows) and by a look-up of the full name (Wine shows its links only there, and its
// NtQueryAttributesFile does not look names up below a folder handle).

using TNtCreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                       PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using TRtlNtStatusToDosError = ULONG(NTAPI*)(NTSTATUS);

struct TNtFiles {
    TNtCreateFile Create = nullptr;
    TRtlNtStatusToDosError ToDosError = nullptr;
    TNtFiles() {
        const HMODULE nt = GetModuleHandleW(L"ntdll.dll");
        if (!nt)
            return;
        Create = reinterpret_cast<TNtCreateFile>(
            reinterpret_cast<void*>(GetProcAddress(nt, "NtCreateFile")));
        ToDosError = reinterpret_cast<TRtlNtStatusToDosError>(
            reinterpret_cast<void*>(GetProcAddress(nt, "RtlNtStatusToDosError")));
    }
};

const TNtFiles& NtFiles() {
    static const TNtFiles api;
    return api;
}

[[noreturn]] void FailLink(const std::wstring& shown) {
    throw EZipError(L"\"" + shown + L"\" is a link; nothing is written through it");
}

// A handle is refused when it turns out to be on a link (or of the wrong kind).
void CheckOpened(HANDLE h, bool folder, const std::wstring& shown) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        FailFile(folder ? L"Cannot create folder" : L"Cannot create file", shown, err);
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        CloseHandle(h);
        FailLink(shown);
    }
    if (bool(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != folder) {
        CloseHandle(h);
        FailFile(folder ? L"Cannot create folder" : L"Cannot create file", shown,
                 folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
    }
}

// Opens, or creates, name directly inside the folder parent; sysPath is its full name.
HANDLE OpenChild(HANDLE parent, const std::wstring& name, const std::wstring& shown,
                 const std::wstring& sysPath, bool folder, ACCESS_MASK access, ULONG share) {
    const TNtFiles& nt = NtFiles();
    const wchar_t* what = folder ? L"Cannot create folder" : L"Cannot create file";
    if (!nt.Create || !nt.ToDosError)
        FailFile(what, shown, ERROR_PROC_NOT_FOUND);
    const DWORD attr = GetFileAttributesW(sysPath.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT))
        FailLink(shown);
    UNICODE_STRING text{};
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = USHORT(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    const ULONG options = (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE) |
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT;
    const NTSTATUS status =
        nt.Create(&h, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
                  FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN_IF, options, nullptr, 0);
    if (status < 0)
        FailFile(what, shown, nt.ToDosError(status));
    CheckOpened(h, folder, shown);
    return h;
}

// Folder rights for making entries inside it; no delete sharing, so that on Windows nobody
// moves it aside while it is open.
constexpr ACCESS_MASK FOLDER_ACCESS =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE;
constexpr ULONG FOLDER_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The folder a target starts from, itself not a link.
HANDLE OpenFolderNoLink(const std::wstring& dir, const std::wstring& sysDir) {
    const DWORD attr = GetFileAttributesW(sysDir.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT))
        FailLink(dir);
    HANDLE h = CreateFileW(sysDir.c_str(), FOLDER_ACCESS | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FOLDER_SHARE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        FailFile(L"Cannot open folder", dir, GetLastError());
    CheckOpened(h, true, dir);
    return h;
}

// A new, empty file named name inside parent (an existing one is cut to nothing).
HANDLE CreateChildFile(HANDLE parent, const std::wstring& name, const std::wstring& shown,
                       const std::wstring& sysPath, ACCESS_MASK access) {
    HANDLE h = OpenChild(parent, name, shown, sysPath, false, access | GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ);
    if (!SetEndOfFile(h)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        FailFile(L"Cannot create file", shown, err);
    }
    return h;
}

std::wstring TrimmedExtended(const std::wstring& dir) {
    std::wstring sys = ExtendedPath(dir);
    while (sys.size() > 7 && sys.back() == L'\\')
        sys.pop_back();
    return sys;
}

class TWinTarget : public TZipTarget {
public:
    explicit TWinTarget(const std::wstring& dir)
        : FDir(dir), FSysDir(TrimmedExtended(dir)), FRoot(OpenFolderNoLink(dir, FSysDir)) {
        while (!FDir.empty() && FDir.back() == L'\\')
            FDir.pop_back();
    }
    ~TWinTarget() override {
        for (auto& folder : FFolders)
            CloseHandle(folder.second);
    }
    void MakeFolder(const std::vector<std::wstring>& parts, size_t count) override {
        Folder(parts, count);
    }
    std::unique_ptr<TZipOutFile> CreateFile(const std::vector<std::wstring>& parts) override {
        if (parts.empty())
            FailFile(L"Cannot create file", FDir, ERROR_INVALID_NAME);
        const HANDLE parent = Folder(parts, parts.size() - 1);
        std::wstring shown = FDir, sys = FSysDir;
        for (const std::wstring& part : parts) {
            shown += L'\\' + part;
            sys += L'\\' + part;
        }
        return std::make_unique<TWinOutFile>(CreateChildFile(parent, parts.back(), shown, sys, 0),
                                             shown);
    }

private:
    // The folder of the first count parts, each level opened (or made) once inside the one
    // above and kept open until the extraction ends.
    HANDLE Folder(const std::vector<std::wstring>& parts, size_t count) {
        std::lock_guard<std::mutex> held(FFoldersLock); // files are created side by side
        HANDLE parent = FRoot.Get();
        std::wstring key, shown = FDir;
        for (size_t i = 0; i < count; ++i) {
            key += L'\\' + parts[i];
            shown += L'\\' + parts[i];
            auto found = FFolders.find(key);
            if (found == FFolders.end())
                found = FFolders
                            .emplace(key, OpenChild(parent, parts[i], shown, FSysDir + key, true,
                                                    FOLDER_ACCESS, FOLDER_SHARE))
                            .first;
            parent = found->second;
        }
        return parent;
    }

    std::wstring FDir;
    std::wstring FSysDir;
    THandle FRoot;
    std::mutex FFoldersLock;
    std::map<std::wstring, HANDLE> FFolders;
};

} // namespace

std::unique_ptr<TZipInput> OpenZipInputFile(const std::wstring& path, bool allowWriters) {
    const DWORD share =
        allowWriters ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        FailFile(L"Cannot open file", path, GetLastError());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        FailFile(L"Cannot open file", path, err);
    }
    return std::make_unique<TWinInput>(h, path, uint64_t(size.QuadPart));
}

std::unique_ptr<TZipOutFile> CreateZipOutputFile(const std::wstring& path) {
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        FailFile(L"Cannot create file", path, GetLastError());
    return std::make_unique<TWinOutFile>(h, path);
}

std::unique_ptr<TZipTarget> CreateFolderTarget(const std::wstring& dir) {
    return std::make_unique<TWinTarget>(dir);
}

std::wstring TSystemPayloadPlatform::ExePath() {
    return ProgramPath();
}

TLocalTime TSystemPayloadPlatform::Now() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::wstring TSystemPayloadPlatform::TempPath() {
    // Not the user's own TEMP: in admin-approval mode the elevated setup is the same user, who
    // could rename or delete entries there whatever their DACL.
    std::wstring error;
    const std::wstring parent = ProtectedTempParent(error);
    if (parent.empty())
        throw ESetupError(error);
    return parent;
}

wchar_t TSystemPayloadPlatform::PathDelim() const {
    return L'\\';
}

bool TSystemPayloadPlatform::FileExists(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::unique_ptr<TZipInput> TSystemPayloadPlatform::OpenRead(const std::wstring& path,
                                                            bool allowWriters) {
    return OpenZipInputFile(path, allowWriters);
}

std::unique_ptr<TArchiveCopy> TSystemPayloadPlatform::CreateCopy(const std::wstring& path) {
    const size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos)
        FailFile(L"Cannot create file", path, ERROR_INVALID_NAME);
    const std::wstring dir = path.substr(0, cut);
    THandle folder(OpenFolderNoLink(dir, TrimmedExtended(dir)));
    // Read back later through this handle; only readers may share it meanwhile.
    return std::make_unique<TWinCopy>(
        CreateChildFile(folder.Get(), path.substr(cut + 1), path, ExtendedPath(path), GENERIC_READ),
        path);
}

std::unique_ptr<TZipTarget> TSystemPayloadPlatform::FolderTarget(const std::wstring& dir) {
    return CreateFolderTarget(dir);
}

std::wstring TSystemPayloadPlatform::CreateRunFolder(const std::wstring& path) {
    // Missing parents as ordinary folders (the user's TEMP exists; a test's may not).
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == L'\\' || path[i] == L'/') {
            const std::wstring part = path.substr(0, i);
            if (!part.empty() && part.back() != L':' && part.back() != L'\\')
                CreateDirectoryW(part.c_str(), nullptr);
        }
    }
    std::wstring made, error;
    if (!CreatePrivateDir(path, made, error))
        throw ESetupError(error);
    // Held without delete sharing while this platform lives (see the header); a folder that
    // cannot be held is not used.
    HANDLE h = CreateFileW(made.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, FOLDER_SHARE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw ESetupError(L"Geçici klasör tutulamadı: " + made + L": " +
                          SystemText(GetLastError()));
    FRunFolder.reset(h, [](void* held) { CloseHandle(held); });
    return made;
}

bool TSystemPayloadPlatform::RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

namespace {

// Calls visit(entry, path) for every entry of dir except "." and ".."; how many there were.
template <typename TVisit> size_t ForEachEntry(const std::wstring& dir, TVisit visit) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch,
                                nullptr, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    size_t n = 0;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        ++n;
        visit(fd, dir + L"\\" + name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return n;
}

// dir (extended form) and everything below it; a link goes itself, its target stays untouched.
void RemoveTree(const std::wstring& dir) {
    ForEachEntry(dir, [](const WIN32_FIND_DATAW& fd, const std::wstring& path) {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW(path.c_str());
        else if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            RemoveDirectoryW(path.c_str());
        else
            RemoveTree(path);
    });
    RemoveDirectoryW(dir.c_str());
}

} // namespace

void TSystemPayloadPlatform::RemoveRunFolder(const std::wstring& dir) {
    FRunFolder.reset(); // held without delete sharing until now
    RemoveTree(TrimmedExtended(dir));
}

size_t TSystemPayloadPlatform::CountFolderEntries(const std::wstring& dir) {
    return ForEachEntry(dir, [](const WIN32_FIND_DATAW&, const std::wstring&) {});
}
