#pragma once
// TPayloadExtractor: finds the ZIP archive appended to the running setup file and extracts it
// into a new temporary folder, the source folder of the installation.
//
// The algorithm is portable (uPayload.cpp); the system is reached through TPayloadPlatform, whose
// real implementation is TSystemPayloadPlatform. Tests derive from it to point ExePath at any
// file and to fix the clock.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "uSetupError.h"
#include "uZipReader.h"

// Copy of the archive out of the setup file goes through a buffer of this size.
inline constexpr size_t PAYLOAD_COPY_BUFFER = 1048576;

struct TLocalTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

// "CorvaneMarketSetup_" followed by yyyymmddhhnnss.
std::wstring PayloadFolderName(const TLocalTime& t);

class TPayloadPlatform {
public:
    virtual ~TPayloadPlatform() = default;
    // Full path of the running executable (main module).
    virtual std::wstring ExePath() = 0;
    virtual TLocalTime Now() = 0;
    // The user's temporary folder, long form, with a trailing separator.
    virtual std::wstring TempPath() = 0;
    virtual wchar_t PathDelim() const = 0;
    // An existing file (not a folder).
    virtual bool FileExists(const std::wstring& path) = 0;
    // The file layer: raise EZipError with the path and the system's text.
    virtual std::unique_ptr<TZipInput> OpenRead(const std::wstring& path, bool allowWriters) = 0;
    virtual std::unique_ptr<TZipOutFile> CreateReplace(const std::wstring& path) = 0;
    virtual std::unique_ptr<TZipTarget> FolderTarget(const std::wstring& dir) = 0;
    // Result ignored by the caller.
    virtual bool ForceDirectories(const std::wstring& path) = 0;
    virtual bool RemoveFile(const std::wstring& path) = 0;
    // Files and folders directly inside dir, any attributes, without "." and "..".
    virtual size_t CountFolderEntries(const std::wstring& dir) = 0;
};

class TSystemPayloadPlatform : public TPayloadPlatform {
public:
    std::wstring ExePath() override;
    TLocalTime Now() override;
    std::wstring TempPath() override;
    wchar_t PathDelim() const override;
    bool FileExists(const std::wstring& path) override;
    std::unique_ptr<TZipInput> OpenRead(const std::wstring& path, bool allowWriters) override;
    std::unique_ptr<TZipOutFile> CreateReplace(const std::wstring& path) override;
    std::unique_ptr<TZipTarget> FolderTarget(const std::wstring& dir) override;
    bool ForceDirectories(const std::wstring& path) override;
    bool RemoveFile(const std::wstring& path) override;
    size_t CountFolderEntries(const std::wstring& dir) override;
};

class TPayloadExtractor {
public:
    TPayloadExtractor();
    explicit TPayloadExtractor(std::unique_ptr<TPayloadPlatform> platform);

    // True when the running setup file ends with the magic. Never raises.
    bool HasPayload();
    // The temporary folder holding the extracted files; empty without a trailer. Raises
    // ESetupError.
    std::wstring ExtractToTemp();

private:
    std::unique_ptr<TPayloadPlatform> FPlatform;
};
