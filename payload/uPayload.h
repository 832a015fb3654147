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

#include "uPayloadSeal.h"
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
    // The folder the run's temporary folder is made in, with a trailing separator. On Windows
    // one that users cannot write (%ProgramData%\CorvaneMarket, or the system's own temporary
    // folder); raises ESetupError when there is none.
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
    // Removes the run's folder made by CreateRunFolder and everything in it; links inside are
    // removed, never followed.
    virtual void RemoveRunFolder(const std::wstring& dir) = 0;
    // Files and folders directly inside dir, any attributes, without "." and "..".
    virtual size_t CountFolderEntries(const std::wstring& dir) = 0;
    // The seal in the running program's image (tests choose one).
    virtual TPayloadSeal Seal() { return ProgramSeal(); }
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
    void RemoveRunFolder(const std::wstring& dir) override;
    size_t CountFolderEntries(const std::wstring& dir) override;

private:
    std::shared_ptr<void> FRunFolder;
};

class TPayloadExtractor {
public:
    TPayloadExtractor();
    explicit TPayloadExtractor(std::unique_ptr<TPayloadPlatform> platform);

    // Opens the running setup file once, sharing it with readers only, and keeps it open for
    // the extractor's life: nobody can change it meanwhile, and every later read goes through
    // this handle, never through the path again (the file may have been renamed and another
    // put in its place). Called at start; the two calls below make it themselves when nobody
    // did. Never raises: a failure is reported by the next HasPayload or ExtractToTemp.
    void HoldSetupFile();
    // True when the running setup file ends with the magic; false when there is no such file
    // or it is shorter than a trailer. A file that cannot be opened or read raises ESetupError
    // with the system's text: that is no reason to run without a payload. A sealed program
    // never runs without one: for it a missing payload raises ESetupError as well.
    bool HasPayload();
    // The temporary folder holding the extracted files; empty without a trailer. Raises
    // ESetupError, also when the program is sealed and the payload's length or SHA-256 differs
    // from the seal: the length before anything is copied, the SHA-256 of the archive copy
    // alongside its extraction into the private folder, which is then removed whole. progress,
    // when given, hears the bytes of the extracted files written so far on the calling thread
    // (see TZipReader::ExtractAll).
    std::wstring ExtractToTemp(const TZipReader::TProgress& progress = {});

private:
    // The held setup file; null when it does not exist. Raises ESetupError when it could not be
    // opened.
    TZipInput* SetupFile();

    enum class THold { NotYet, Held, Missing, Failed };
    std::unique_ptr<TPayloadPlatform> FPlatform;
    THold FHold = THold::NotYet;
    std::unique_ptr<TZipInput> FSetupFile;
    std::wstring FExePath;
    std::wstring FHoldError;
};

// The failures of a sealed setup file whose payload is not the one it was packed with.
inline constexpr const wchar_t* SEAL_MISMATCH_MESSAGE =
    L"Kurulum dosyası bozuk ya da değiştirilmiş: içindeki paket, programın mührüyle uyuşmuyor. "
    L"Hiçbir şey kurulmadı; kurulum dosyasını yeniden indirin.";
inline constexpr const wchar_t* SEAL_NO_PAYLOAD_MESSAGE =
    L"Kurulum dosyası bozuk ya da değiştirilmiş: mühürlü programın paketi bulunamadı. "
    L"Hiçbir şey kurulmadı; kurulum dosyasını yeniden indirin.";
