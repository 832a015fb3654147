// The file layer on Win32: the setup program and its tests under Wine.
#include <windows.h>

#include <vector>

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

class TWinInput : public TZipInput {
public:
    TWinInput(HANDLE h, std::wstring path, uint64_t size)
        : FHandle(h), FPath(std::move(path)), FSize(size) {}
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
            if (!ReadFile(FHandle.Get(), p, want, &got, &ov)) {
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
    THandle FHandle;
    std::wstring FPath;
    uint64_t FSize;
};

class TWinOutFile : public TZipOutFile {
public:
    TWinOutFile(HANDLE h, std::wstring path, std::wstring sysPath)
        : FHandle(h), FPath(std::move(path)), FSysPath(std::move(sysPath)) {}
    void Write(const void* buf, size_t n) override {
        const auto* p = static_cast<const unsigned char*>(buf);
        while (n > 0) {
            const DWORD want = n > 0x40000000 ? 0x40000000 : DWORD(n);
            DWORD done = 0;
            if (!WriteFile(FHandle.Get(), p, want, &done, nullptr) || done == 0)
                FailFile(L"Cannot write file", FPath, GetLastError());
            p += done;
            n -= done;
        }
    }
    void Close() override {
        if (!FHandle.Reset())
            FailFile(L"Cannot write file", FPath, GetLastError());
    }
    void Discard() override {
        FHandle.Reset();
        DeleteFileW(FSysPath.c_str());
    }

private:
    THandle FHandle;
    std::wstring FPath;
    std::wstring FSysPath;
};

std::unique_ptr<TZipOutFile> CreateOut(const std::wstring& path, const std::wstring& sysPath) {
    HANDLE h = CreateFileW(sysPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        FailFile(L"Cannot create file", path, GetLastError());
    return std::make_unique<TWinOutFile>(h, path, sysPath);
}

class TWinTarget : public TZipTarget {
public:
    explicit TWinTarget(const std::wstring& dir) : FDir(dir), FSysDir(ExtendedPath(dir)) {
        while (FSysDir.size() > 7 && FSysDir.back() == L'\\')
            FSysDir.pop_back();
    }
    void MakeFolder(const std::vector<std::wstring>& parts, size_t count) override {
        std::wstring sys = FSysDir, shown = FDir;
        for (size_t i = 0; i < count; ++i) {
            sys += L'\\' + parts[i];
            shown += L'\\' + parts[i];
            if (CreateDirectoryW(sys.c_str(), nullptr))
                continue;
            const DWORD err = GetLastError();
            const DWORD attr = GetFileAttributesW(sys.c_str());
            if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY) ||
                (attr & FILE_ATTRIBUTE_REPARSE_POINT))
                FailFile(L"Cannot create folder", shown, err);
        }
    }
    std::unique_ptr<TZipOutFile> CreateFile(const std::vector<std::wstring>& parts) override {
        std::wstring sys = FSysDir, shown = FDir;
        for (const std::wstring& part : parts) {
            sys += L'\\' + part;
            shown += L'\\' + part;
        }
        // A link or junction already there would carry the entry somewhere else.
        const DWORD attr = GetFileAttributesW(sys.c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT))
            throw EZipError(L"\"" + shown + L"\" is a link; nothing is written through it");
        return CreateOut(shown, sys);
    }

private:
    std::wstring FDir;
    std::wstring FSysDir;
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
    return CreateOut(path, path);
}

std::unique_ptr<TZipTarget> CreateFolderTarget(const std::wstring& dir) {
    return std::make_unique<TWinTarget>(dir);
}

std::wstring TSystemPayloadPlatform::ExePath() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
        if (n == 0)
            return std::wstring();
        if (n < buf.size())
            return std::wstring(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

TLocalTime TSystemPayloadPlatform::Now() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::wstring TSystemPayloadPlatform::TempPath() {
    wchar_t buf[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, buf);
    std::wstring temp(buf, n <= MAX_PATH ? n : 0);
    const DWORD m = GetLongPathNameW(temp.c_str(), nullptr, 0);
    if (m) {
        std::wstring longer(m, L'\0');
        const DWORD k = GetLongPathNameW(temp.c_str(), longer.data(), m);
        if (k && k < m) {
            longer.resize(k);
            temp = longer;
        }
    }
    if (temp.empty() || temp.back() != L'\\')
        temp += L'\\';
    return temp;
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

std::unique_ptr<TZipOutFile> TSystemPayloadPlatform::CreateReplace(const std::wstring& path) {
    return CreateZipOutputFile(path);
}

std::unique_ptr<TZipTarget> TSystemPayloadPlatform::FolderTarget(const std::wstring& dir) {
    return CreateFolderTarget(dir);
}

bool TSystemPayloadPlatform::ForceDirectories(const std::wstring& path) {
    // Each level in turn; existing levels are fine.
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
            const std::wstring part = path.substr(0, i);
            if (part.empty() || part.back() == L':' || part.back() == L'\\')
                continue;
            CreateDirectoryW(part.c_str(), nullptr);
        }
    }
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool TSystemPayloadPlatform::RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

size_t TSystemPayloadPlatform::CountFolderEntries(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch,
                                nullptr, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    size_t n = 0;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..")
            ++n;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return n;
}
