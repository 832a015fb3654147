#include "uPayload.h"

#include <condition_variable>
#include <cwchar>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
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

// The seal's SHA-256 on a thread of its own, over the blocks the copy has just written: on a
// machine with two cores the hash costs the copy hardly any time. Blocks are handed over in
// order; a block's buffer is reused only after it was hashed.
class THashBehind {
public:
    explicit THashBehind(TSha256& hash) : FHash(hash) {
        try {
            FThread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // no thread to spare: Give hashes at once
        }
    }
    ~THashBehind() {
        {
            std::lock_guard<std::mutex> held(FLock);
            FQuit = true;
        }
        FChanged.notify_all();
        if (FThread.joinable())
            FThread.join();
    }
    THashBehind(const THashBehind&) = delete;
    THashBehind& operator=(const THashBehind&) = delete;

    // Block number `given` (counted from 0) is hashed after those before it.
    void Give(const unsigned char* p, size_t n) {
        if (!FThread.joinable()) {
            FHash.Update(p, n);
            return;
        }
        std::lock_guard<std::mutex> held(FLock);
        FQueue[FGiven % DEPTH] = {p, n};
        ++FGiven;
        FChanged.notify_all();
    }
    // Waits until fewer than `pending` blocks are still to be hashed.
    void WaitBelow(size_t pending) {
        std::unique_lock<std::mutex> held(FLock);
        FChanged.wait(held, [&] { return FGiven - FDone < pending || FFailed; });
        if (FFailed)
            std::rethrow_exception(FFailure);
    }

    static constexpr size_t DEPTH = 3; // buffers in turn

private:
    void Run() {
        std::unique_lock<std::mutex> held(FLock);
        for (;;) {
            FChanged.wait(held, [&] { return FQuit || FDone < FGiven; });
            if (FDone == FGiven)
                return; // quit with nothing left
            const auto [p, n] = FQueue[FDone % DEPTH];
            held.unlock();
            std::exception_ptr failed;
            try {
                FHash.Update(p, n);
            } catch (...) {
                failed = std::current_exception();
            }
            held.lock();
            ++FDone;
            if (failed && !FFailed) {
                FFailed = true;
                FFailure = failed;
            }
            FChanged.notify_all();
        }
    }

    TSha256& FHash;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::pair<const unsigned char*, size_t> FQueue[DEPTH] = {};
    size_t FGiven = 0, FDone = 0;
    bool FQuit = false, FFailed = false;
    std::exception_ptr FFailure;
    std::thread FThread; // last: started when everything above exists
};

// Copies exactly n bytes starting at offset, in blocks of PAYLOAD_COPY_BUFFER; the bytes
// written are the bytes hashed, and the hash is complete when this returns.
void CopyRange(TZipInput& from, uint64_t offset, uint64_t n, TArchiveCopy& to, TSha256* hash) {
    std::vector<unsigned char> bufs[THashBehind::DEPTH];
    for (auto& b : bufs)
        b.resize(PAYLOAD_COPY_BUFFER);
    std::optional<THashBehind> behind;
    if (hash)
        behind.emplace(*hash);
    for (size_t block = 0; n > 0; ++block) {
        std::vector<unsigned char>& buf = bufs[block % THashBehind::DEPTH];
        if (behind) // this buffer's last block has been hashed
            behind->WaitBelow(THashBehind::DEPTH);
        const size_t chunk = n < buf.size() ? size_t(n) : buf.size();
        from.ReadAt(offset, buf.data(), chunk);
        if (behind)
            behind->Give(buf.data(), chunk);
        to.Write(buf.data(), chunk);
        offset += chunk;
        n -= chunk;
    }
    if (behind)
        behind->WaitBelow(1);
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
        std::optional<TSha256> hash;
        if (seal.Sealed)
            hash.emplace();
        CopyRange(*file, end - PAYLOAD_TRAILER_SIZE - uint64_t(n), uint64_t(n), *copy,
                  hash ? &*hash : nullptr);
        // The copy is what gets extracted, and it is read through the handle it was written
        // with: checked here, nothing else can reach the installation.
        if (hash && hash->Final() != seal.Sha256)
            throw ESetupError(SEAL_MISMATCH_MESSAGE);
    } catch (const EZipError& e) {
        throw ESetupError(e.Message());
    }

    if (!FPlatform->FileExists(copyPath))
        throw ESetupError(L"Arsiv dosyasi olusturulamadi: " + copyPath);

    try {
        // Read through the handle it was written with: there is no moment between copying and
        // extracting in which the copy could be swapped.
        TZipReader reader(copy->Finish());
        for (const TZipEntry& e : reader.Entries()) {
            if (!e.Path.Parts.empty() && SameNoCase(e.Path.Parts.front(), COPY_NAME))
                throw EZipError(EntryLabel(e) + L" would replace the archive copy being read");
        }
        std::unique_ptr<TZipTarget> target = FPlatform->FolderTarget(dir);
        reader.ExtractAll(*target, progress);
    } catch (const EZipError& e) {
        throw ESetupError(L"ZIP arsiv acma basarisiz: " + e.Message());
    }

    copy.reset();
    FPlatform->RemoveFile(copyPath);
    if (FPlatform->CountFolderEntries(dir) == 0)
        throw ESetupError(L"Arsiv acildi ancak hicbir dosya cikarilmadi!");
    return dir;
}
