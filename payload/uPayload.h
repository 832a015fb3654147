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

// The archive copy in the temporary folder: written once, then read through the same open file
// until it is destroyed. Nobody else may write, rename or delete it meanwhile, so the archive
// that is extracted is the one that was copied.
class TArchiveCopy {
public:
    virtual ~TArchiveCopy() = default;
    virtual void Write(const void* buf, size_t n) = 0;
    // Ends the writing; the copy is read from here on.
    virtual TZipInput& Finish() = 0;
};

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
    // Creates the archive copy, replacing a file of that name; never through a link.
    virtual std::unique_ptr<TArchiveCopy> CreateCopy(const std::wstring& path) = 0;
    virtual std::unique_ptr<TZipTarget> FolderTarget(const std::wstring& dir) = 0;
    // Makes a new folder for this run from path (missing parents too): path itself, or path
    // with "_2", "_3", ... when the name is taken; an existing folder is never reused. Returns
    // the folder made. Raises ESetupError.
    virtual std::wstring CreateRunFolder(const std::wstring& path) = 0;
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
    std::unique_ptr<TArchiveCopy> CreateCopy(const std::wstring& path) override;
    std::unique_ptr<TZipTarget> FolderTarget(const std::wstring& dir) override;
    // On Windows the folder is private to SYSTEM and Administrators and stays open, without
    // delete sharing, as long as this object lives: nobody can move it aside and put a link at
    // its name while the run uses it.
    std::wstring CreateRunFolder(const std::wstring& path) override;
    bool RemoveFile(const std::wstring& path) override;
    size_t CountFolderEntries(const std::wstring& dir) override;

private:
    std::shared_ptr<void> FRunFolder;
};

class TPayloadExtractor {
public:
    TPayloadExtractor();
    explicit TPayloadExtractor(std::unique_ptr<TPayloadPlatform> platform);

    // True when the running setup file ends with the magic; false when there is no such file
    // or it is shorter than a trailer. A file that cannot be opened or read raises ESetupError
    // with the system's text: that is no reason to run without a payload.
    bool HasPayload();
    // The temporary folder holding the extracted files; empty without a trailer. Raises
    // ESetupError.
    std::wstring ExtractToTemp();

private:
    std::unique_ptr<TPayloadPlatform> FPlatform;
};
