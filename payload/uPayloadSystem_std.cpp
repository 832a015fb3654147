// The file layer on the C++ standard library: the native build (tests, fuzzing) and the packer
// on systems other than Windows.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "uPayload.h"
#include "uZipFiles.h"

namespace fs = std::filesystem;

namespace {

fs::path ToPath(const std::wstring& p) {
#ifdef _WIN32
    return fs::path(p);
#else
    return fs::path(WideToUtf8(p));
#endif
}

std::wstring ToWide(const std::string& s) {
    std::wstring w;
    if (!DecodeUtf8(s, w))
        w = DecodeCp437(s);
    return w;
}

std::wstring SystemText(int err) {
    return ToWide(std::strerror(err));
}

[[noreturn]] void FailFile(const wchar_t* what, const std::wstring& path, int err) {
    throw EZipError(std::wstring(what) + L" \"" + path + L"\". " + SystemText(err));
}

std::FILE* Open(const std::wstring& path, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wmode.c_str());
#else
    return std::fopen(WideToUtf8(path).c_str(), mode);
#endif
}

// n bytes at off of the file f of size bytes; a read past its end is a damaged archive. Safe
// from several threads at once.
void ReadFileAt(std::FILE* f, const std::wstring& path, uint64_t size, uint64_t off, void* buf,
                size_t n) {
    if (off > size || n > size - off)
        throw EZipError(L"unexpected end of file \"" + path + L"\"");
#ifdef _WIN32
    static std::mutex seekLock; // one position per stream
    std::lock_guard<std::mutex> held(seekLock);
    if (_fseeki64(f, static_cast<long long>(off), SEEK_SET) != 0)
        FailFile(L"Cannot read file", path, errno);
    if (std::fread(buf, 1, n, f) != n)
        throw EZipError(L"unexpected end of file \"" + path + L"\"");
#else
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        const ssize_t got = ::pread(fileno(f), p, n, off_t(off));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            FailFile(L"Cannot read file", path, errno);
        if (got == 0)
            throw EZipError(L"unexpected end of file \"" + path + L"\"");
        p += got;
        off += uint64_t(got);
        n -= size_t(got);
    }
#endif
}

class TStdInput : public TZipInput {
public:
    TStdInput(std::FILE* f, std::wstring path, uint64_t size)
        : FFile(f), FPath(std::move(path)), FSize(size) {}
    ~TStdInput() override { std::fclose(FFile); }
    uint64_t Size() const override { return FSize; }
    void ReadAt(uint64_t off, void* buf, size_t n) override {
        ReadFileAt(FFile, FPath, FSize, off, buf, n);
    }

private:
    std::FILE* FFile;
    std::wstring FPath;
    uint64_t FSize;
};

class TStdOutFile : public TZipOutFile {
public:
    TStdOutFile(std::FILE* f, std::wstring path) : FFile(f), FPath(std::move(path)) {}
    ~TStdOutFile() override {
        if (FFile)
            std::fclose(FFile);
    }
    void Write(const void* buf, size_t n) override {
        if (n && std::fwrite(buf, 1, n, FFile) != n)
            FailFile(L"Cannot write file", FPath, errno);
    }
    void Close() override {
        std::FILE* f = FFile;
        FFile = nullptr;
        if (f && std::fclose(f) != 0)
            FailFile(L"Cannot write file", FPath, errno);
    }
    void Discard() override {
        if (FFile)
            std::fclose(FFile);
        FFile = nullptr;
        std::error_code ec;
        fs::remove(ToPath(FPath), ec);
    }

private:
    std::FILE* FFile;
    std::wstring FPath;
};

// The archive copy: one stream, written and then read back.
class TStdCopy : public TArchiveCopy, private TZipInput {
public:
    TStdCopy(std::FILE* f, std::wstring path) : FFile(f), FPath(std::move(path)) {}
    ~TStdCopy() override { std::fclose(FFile); }
    void Write(const void* buf, size_t n) override {
        if (n && std::fwrite(buf, 1, n, FFile) != n)
            FailFile(L"Cannot write file", FPath, errno);
        FSize += n;
    }
    TZipInput& Finish() override {
        if (std::fflush(FFile) != 0)
            FailFile(L"Cannot write file", FPath, errno);
        return *this;
    }

private:
    uint64_t Size() const override { return FSize; }
    void ReadAt(uint64_t off, void* buf, size_t n) override {
        ReadFileAt(FFile, FPath, FSize, off, buf, n);
    }

    std::FILE* FFile;
    std::wstring FPath;
    uint64_t FSize = 0;
};

// A link already in the target folder would carry an entry somewhere else.
void RefuseLink(const std::wstring& path) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(ToPath(path), ec)))
        throw EZipError(L"\"" + path + L"\" is a symbolic link; nothing is written through it");
}

class TStdTarget : public TZipTarget {
public:
    explicit TStdTarget(std::wstring dir) : FDir(std::move(dir)) {}
    void MakeFolder(const std::vector<std::wstring>& parts, size_t count) override {
        std::wstring p = FDir;
        for (size_t i = 0; i < count; ++i) {
            p += L'/';
            p += parts[i];
            RefuseLink(p);
            std::error_code ec;
            if (fs::is_directory(ToPath(p), ec))
                continue;
            if (!fs::create_directory(ToPath(p), ec) && ec)
                FailFile(L"Cannot create folder", p, ec.value());
            if (!fs::is_directory(ToPath(p), ec))
                FailFile(L"Cannot create folder", p, EEXIST);
        }
    }
    std::unique_ptr<TZipOutFile> CreateFile(const std::vector<std::wstring>& parts) override {
        std::wstring p = FDir;
        for (const std::wstring& part : parts)
            p += L'/' + part;
        RefuseLink(p);
        return CreateZipOutputFile(p);
    }

private:
    std::wstring FDir;
};

} // namespace

std::unique_ptr<TZipInput> OpenZipInputFile(const std::wstring& path, bool /*allowWriters*/) {
    std::error_code ec;
    if (fs::is_directory(ToPath(path), ec))
        FailFile(L"Cannot open file", path, EISDIR);
    std::FILE* f = Open(path, "rb");
    if (!f)
        FailFile(L"Cannot open file", path, errno);
    const uint64_t size = fs::file_size(ToPath(path), ec);
    if (ec) {
        std::fclose(f);
        FailFile(L"Cannot open file", path, ec.value());
    }
    return std::make_unique<TStdInput>(f, path, size);
}

std::unique_ptr<TZipOutFile> CreateZipOutputFile(const std::wstring& path) {
    std::FILE* f = Open(path, "wb");
    if (!f)
        FailFile(L"Cannot create file", path, errno);
    return std::make_unique<TStdOutFile>(f, path);
}

std::unique_ptr<TZipTarget> CreateFolderTarget(const std::wstring& dir) {
    return std::make_unique<TStdTarget>(dir);
}

std::wstring TSystemPayloadPlatform::ExePath() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::wstring() : ToWide(p.string());
}

TLocalTime TSystemPayloadPlatform::Now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::wstring TSystemPayloadPlatform::TempPath() {
    std::error_code ec;
    std::wstring t = ToWide(fs::temp_directory_path(ec).string());
    if (t.empty() || t.back() != L'/')
        t += L'/';
    return t;
}

wchar_t TSystemPayloadPlatform::PathDelim() const {
    return L'/';
}

bool TSystemPayloadPlatform::FileExists(const std::wstring& path) {
    std::error_code ec;
    return fs::is_regular_file(ToPath(path), ec);
}

std::unique_ptr<TZipInput> TSystemPayloadPlatform::OpenRead(const std::wstring& path,
                                                            bool allowWriters) {
    return OpenZipInputFile(path, allowWriters);
}

std::unique_ptr<TArchiveCopy> TSystemPayloadPlatform::CreateCopy(const std::wstring& path) {
    RefuseLink(path);
    std::FILE* f = Open(path, "w+b");
    if (!f)
        FailFile(L"Cannot create file", path, errno);
    return std::make_unique<TStdCopy>(f, path);
}

std::unique_ptr<TZipTarget> TSystemPayloadPlatform::FolderTarget(const std::wstring& dir) {
    return CreateFolderTarget(dir);
}

std::wstring TSystemPayloadPlatform::CreateRunFolder(const std::wstring& path) {
    std::error_code ec;
    fs::create_directories(ToPath(path).parent_path(), ec);
    for (int i = 1; i <= 1000; ++i) {
        const std::wstring name = i == 1 ? path : path + L"_" + std::to_wstring(i);
        // Whatever holds the name already (a folder, a link) is left alone.
        if (fs::create_directory(ToPath(name), ec))
            return name;
        if (ec && ec != std::errc::file_exists)
            throw ESetupError(L"Geçici klasör oluşturulamadı: " + name + L": " +
                              SystemText(ec.value()));
    }
    throw ESetupError(L"Geçici klasör için boş bir ad bulunamadı: " + path);
}

bool TSystemPayloadPlatform::RemoveFile(const std::wstring& path) {
    std::error_code ec;
    return fs::remove(ToPath(path), ec);
}

void TSystemPayloadPlatform::RemoveRunFolder(const std::wstring& dir) {
    std::error_code ec;
    fs::remove_all(ToPath(dir), ec); // removes links, does not follow them
}

size_t TSystemPayloadPlatform::CountFolderEntries(const std::wstring& dir) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it(ToPath(dir), ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}
