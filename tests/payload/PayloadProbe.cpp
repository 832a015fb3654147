// payload_probe: the setup program's extractor on the probe's own file, as the wizard calls it.
// Packed as a setup file, signed and started under Wine, it shows that the payload of the
// running executable is found and extracted.
//   payload_probe SOURCE_DIR      extract, compare with SOURCE_DIR; prints IDENTICAL, exit 0
//   payload_probe --time [SETUP]  extract only, with and without the seal check in turn, and
//                                 print the times and what the check costs (benchmark): the
//                                 probe's own sealed payload, or natively SETUP's payload
//                                 against a seal made from it here
// Exit codes: 1 trees differ, 2 extraction failed, 3 no payload (development mode).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ZipTestKit.h"
#include "uPayload.h"
#include "uPayloadTrailer.h"
#include "uSha256.h"
#include "uZipFiles.h"

namespace {

// The setup program's own platform on the program's file (or another), with or without the
// seal check.
class TTimedPlatform : public TSystemPayloadPlatform {
public:
    TTimedPlatform(std::wstring exe, const TPayloadSeal& seal)
        : FExe(std::move(exe)), FSeal(seal) {}
    std::wstring ExePath() override {
        return FExe.empty() ? TSystemPayloadPlatform::ExePath() : FExe;
    }
    TPayloadSeal Seal() override { return FSeal; }

private:
    std::wstring FExe;
    TPayloadSeal FSeal;
};

// The seal the packer would give the payload of the setup file at path.
TPayloadSeal SealOf(const std::wstring& path) {
    std::unique_ptr<TZipInput> file = OpenZipInputFile(path, false);
    const TPayloadLocation loc = LocatePayload(*file);
    std::vector<unsigned char> buf(PAYLOAD_COPY_BUFFER);
    TSha256 hash;
    for (uint64_t off = 0; off < loc.Length;) {
        const size_t n = loc.Length - off < buf.size() ? size_t(loc.Length - off) : buf.size();
        file->ReadAt(loc.Offset + off, buf.data(), n);
        hash.Update(buf.data(), n);
        off += n;
    }
    TPayloadSeal seal;
    seal.Sealed = true;
    seal.Length = loc.Length;
    seal.Sha256 = hash.Final();
    return seal;
}

// Milliseconds of one ExtractToTemp; the folder is removed again.
long long TimeExtraction(const std::wstring& exe, const TPayloadSeal& seal) {
    auto extractor =
        std::make_unique<TPayloadExtractor>(std::make_unique<TTimedPlatform>(exe, seal));
    const auto start = std::chrono::steady_clock::now();
    const std::wstring dir = extractor->ExtractToTemp();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    extractor.reset();
    std::filesystem::remove_all(std::filesystem::path(dir));
    return static_cast<long long>(ms.count());
}

// The seal's cost: extractions with and without its check in turn, after one to warm up.
int PrintTimes(const std::wstring& exe) {
    const TPayloadSeal seal = exe.empty() ? ProgramSeal() : SealOf(exe);
    if (!seal.Sealed) {
        std::printf("the probe is not sealed: pack it first\n");
        return 2;
    }
    TimeExtraction(exe, {});
    long long with = 0, without = 0;
    const int rounds = 3;
    for (int i = 0; i < rounds; ++i) {
        with += TimeExtraction(exe, seal);
        without += TimeExtraction(exe, {});
    }
    with /= rounds;
    without /= rounds;
    std::printf("ExtractToTemp with the seal check %lld ms, without %lld ms (mean of %d): the "
                "check costs %.1f%% of the extraction\n",
                with, without, rounds,
                100.0 * double(with - without) / double(without > 0 ? without : 1));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--time") == 0 && argc <= 3) {
        try {
            return PrintTimes(argc == 3 ? kit::Wide(std::filesystem::path(argv[2])) : L"");
        } catch (const ESetupError& e) {
            std::printf("ERROR %s\n", kit::Utf8(e.Message()).c_str());
        } catch (const EZipError& e) {
            std::printf("ERROR %s\n", kit::Utf8(e.Message()).c_str());
        }
        return 2;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: payload_probe SOURCE_DIR | --time [SETUP]\n");
        return 2;
    }
    // Freed before the folder is removed: while it lives it holds the run's folder open.
    auto extractor = std::make_unique<TPayloadExtractor>();
    if (!extractor->HasPayload()) {
        std::printf("NO PAYLOAD\n");
        return 3;
    }
    try {
        const std::wstring dir = extractor->ExtractToTemp();
        extractor.reset();
        const auto got = kit::Tree(std::filesystem::path(dir));
        const auto want = kit::Tree(std::filesystem::path(argv[1]));
        std::printf("extracted to %s, %zu entries\n", kit::Utf8(dir).c_str(), got.size());
        std::filesystem::remove_all(std::filesystem::path(dir));
        if (got != want) {
            std::printf("DIFFERENT\n");
            return 1;
        }
        std::printf("IDENTICAL\n");
        return 0;
    } catch (const ESetupError& e) {
        std::printf("ERROR %s\n", kit::Utf8(e.Message()).c_str());
        return 2;
    }
}
