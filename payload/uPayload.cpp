#include "uPayload.h"

#include <atomic>
#include <cwchar>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "uPayloadTrailer.h"

namespace {

const wchar_t* const COPY_NAME = L"payload.zip";

bool SameNoCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z')
            x = wchar_t(x - L'A' + L'a');
        if (x != y)
            return false;
    }
    return i == a.size() && !b[i];
}

// The seal's SHA-256 on a thread of its own while the archive is extracted. It reads the
// archive copy, the very bytes that are extracted: the setup file itself is held without write
// sharing, but a user who mapped it for writing before the start could still change it between
// two reads, while the copy is ours alone (made in the run's private folder, held the same way).
class TSealHash {
public:
    explicit TSealHash(TZipInput& file) {
        try {
            FThread = std::thread([this, &file] { Run(file); });
        } catch (const std::system_error&) {
            Run(file); // no thread to spare: at once
        }
    }
    ~TSealHash() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }
    TSealHash(const TSealHash&) = delete;
    TSealHash& operator=(const TSealHash&) = delete;

    // The digest, when the hashing has ended; raises what the hashing raised.
    TSha256Digest Wait() {
        if (FThread.joinable())
            FThread.join();
        if (FFailure)
            std::rethrow_exception(FFailure);
        return FDigest;
    }

private:
    void Run(TZipInput& file) {
        try {
            std::vector<unsigned char> buf(PAYLOAD_COPY_BUFFER);
            TSha256 hash;
            uint64_t offset = 0;
            for (uint64_t n = file.Size(); n > 0 && !FStop;) {
                const size_t chunk = n < buf.size() ? size_t(n) : buf.size();
                file.ReadAt(offset, buf.data(), chunk);
                hash.Update(buf.data(), chunk);
                offset += chunk;
                n -= chunk;
            }
            FDigest = hash.Final();
        } catch (...) {
            FFailure = std::current_exception();
        }
    }

    std::atomic<bool> FStop{false};
    TSha256Digest FDigest{};
    std::exception_ptr FFailure;
    std::thread FThread; // last: started when everything above exists
};

// Copies exactly n bytes starting at offset, in blocks of PAYLOAD_COPY_BUFFER.
void CopyRange(TZipInput& from, uint64_t offset, uint64_t n, TArchiveCopy& to) {
    std::vector<unsigned char> buf(PAYLOAD_COPY_BUFFER);
    while (n > 0) {
        const size_t chunk = n < buf.size() ? size_t(n) : buf.size();
        from.ReadAt(offset, buf.data(), chunk);
        to.Write(buf.data(), chunk);
        offset += chunk;
        n -= chunk;
    }
}

} // namespace

std::wstring PayloadFolderName(const TLocalTime& t) {
    wchar_t stamp[32];
    std::swprintf(stamp, 32, L"%04d%02d%02d%02d%02d%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                  t.Second);
    return std::wstring(L"CorvaneMarketSetup_") + stamp;
}

TPayloadExtractor::TPayloadExtractor() : FPlatform(std::make_unique<TSystemPayloadPlatform>()) {}

TPayloadExtractor::TPayloadExtractor(std::unique_ptr<TPayloadPlatform> platform)
    : FPlatform(std::move(platform)) {}

void TPayloadExtractor::HoldSetupFile() {
    if (FHold != THold::NotYet)
        return;
    try {
        FExePath = FPlatform->ExePath();
        if (!FPlatform->FileExists(FExePath)) {
            FHold = THold::Missing;
            return;
        }
        // Readers only: nobody writes, renames or deletes the file while it is held.
        FSetupFile = FPlatform->OpenRead(FExePath, false);
        FHold = THold::Held;
    } catch (const EZipError& e) {
        FHold = THold::Failed;
        FHoldError = e.Message();
    } catch (const ESetupError& e) {
        FHold = THold::Failed;
        FHoldError = e.Message();
    }
}

TZipInput* TPayloadExtractor::SetupFile() {
    HoldSetupFile();
    if (FHold == THold::Failed)
        throw ESetupError(FHoldError);
    return FSetupFile.get();
}

bool TPayloadExtractor::HasPayload() {
    const TPayloadSeal seal = FPlatform->Seal();
    bool has = false;
    try {
        if (TZipInput* file = SetupFile()) {
            const uint64_t end = PayloadFileEnd(*file);
            has = end >= PAYLOAD_TRAILER_SIZE && HasPayloadMagic(*file, end);
        }
    } catch (const EZipError& e) {
        // A share that dropped or a placeholder that failed to download: running in development
        // mode would install whatever lies beside the setup file.
        throw ESetupError(e.Message());
    }
    // Packed and sealed, the program never falls back to the files beside it.
    if (!has && seal.Sealed)
        throw ESetupError(SEAL_NO_PAYLOAD_MESSAGE);
    return has;
}

std::wstring TPayloadExtractor::ExtractToTemp(const TZipReader::TProgress& progress) {
    std::wstring result;
    const TPayloadSeal seal = FPlatform->Seal();
    TZipInput* file = SetupFile();
    if (!file)
        throw ESetupError(L"Kurulum EXE dosyasi bulunamadi: " + FExePath);

    std::wstring dir, copyPath;
    std::unique_ptr<TArchiveCopy> copy;
    std::optional<TSealHash> sealHash;
    try {
        const uint64_t end = PayloadFileEnd(*file);
        if (end < PAYLOAD_TRAILER_SIZE)
            throw ESetupError(L"EXE dosyasi cok kucuk, payload icermiyor");
        if (!HasPayloadMagic(*file, end)) {
            if (seal.Sealed)
                throw ESetupError(SEAL_NO_PAYLOAD_MESSAGE);
            return result;
        }
        const int64_t n = ReadPayloadLength(*file, end);
        if (!IsPayloadLengthValid(n, end))
            throw ESetupError(L"Payload boyutu gecersiz: " + std::to_wstring(n));
        if (seal.Sealed && uint64_t(n) != seal.Length)
            throw ESetupError(SEAL_MISMATCH_MESSAGE);

        dir =
            FPlatform->CreateRunFolder(FPlatform->TempPath() + PayloadFolderName(FPlatform->Now()));
        copyPath = dir + FPlatform->PathDelim() + COPY_NAME;
        copy = FPlatform->CreateCopy(copyPath);
        CopyRange(*file, end - PAYLOAD_TRAILER_SIZE - uint64_t(n), uint64_t(n), *copy);
    } catch (const EZipError& e) {
        throw ESetupError(e.Message());
    }

    if (!FPlatform->FileExists(copyPath))
        throw ESetupError(L"Arsiv dosyasi olusturulamadi: " + copyPath);

    std::wstring zipError;
    try {
        // Read through the handle it was written with: there is no moment between copying and
        // extracting in which the copy could be swapped.
        TZipInput& archive = copy->Finish();
        if (seal.Sealed)
            sealHash.emplace(archive);
        TZipReader reader(archive);
        for (const TZipEntry& e : reader.Entries()) {
            if (!e.Path.Parts.empty() && SameNoCase(e.Path.Parts.front(), COPY_NAME))
                throw EZipError(EntryLabel(e) + L" would replace the archive copy being read");
        }
        std::unique_ptr<TZipTarget> target = FPlatform->FolderTarget(dir);
        reader.ExtractAll(*target, progress);
    } catch (const EZipError& e) {
        zipError = e.Message();
    }
    // The private folder is all that was written: a payload that is not the sealed one (even
    // one that the reader refused) is removed with it, and nothing reaches the installation.
    if (sealHash) {
        bool same = false;
        try {
            same = sealHash->Wait() == seal.Sha256;
        } catch (const EZipError& e) {
            throw ESetupError(e.Message());
        }
        if (!same) {
            copy.reset();
            FPlatform->RemoveRunFolder(dir);
            throw ESetupError(SEAL_MISMATCH_MESSAGE);
        }
    }
    if (!zipError.empty())
        throw ESetupError(L"ZIP arsiv acma basarisiz: " + zipError);

    copy.reset();
    FPlatform->RemoveFile(copyPath);
    if (FPlatform->CountFolderEntries(dir) == 0)
        throw ESetupError(L"Arsiv acildi ancak hicbir dosya cikarilmadi!");
    return dir;
}
