// payload_probe: the setup program's extractor on the probe's own file, as the wizard calls it.
// Packed as a setup file, signed and started under Wine, it shows that the payload of the
// running executable is found and extracted.
//   payload_probe SOURCE_DIR   extract, compare with SOURCE_DIR; prints IDENTICAL, exit 0
//   payload_probe --time       extract only, with and without the seal check in turn, and print
//                              the times and what the check costs (benchmark)
// Exit codes: 1 trees differ, 2 extraction failed, 3 no payload (development mode).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ZipTestKit.h"
#include "uPayload.h"

namespace {

// The setup program's own platform, with or without the seal check.
class TTimedPlatform : public TSystemPayloadPlatform {
public:
    explicit TTimedPlatform(bool sealed) : FSealed(sealed) {}
    TPayloadSeal Seal() override { return FSealed ? ProgramSeal() : TPayloadSeal{}; }

private:
    bool FSealed;
};

// Milliseconds of one ExtractToTemp; the folder is removed again.
long long TimeExtraction(bool sealed) {
    auto extractor = std::make_unique<TPayloadExtractor>(std::make_unique<TTimedPlatform>(sealed));
    const auto start = std::chrono::steady_clock::now();
    const std::wstring dir = extractor->ExtractToTemp();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    extractor.reset();
    std::filesystem::remove_all(std::filesystem::path(dir));
    return static_cast<long long>(ms.count());
}

// The seal's cost: extractions with and without its check in turn, after one to warm up.
int PrintTimes() {
    if (!ProgramSeal().Sealed) {
        std::printf("the probe is not sealed: pack it first\n");
        return 2;
    }
    TimeExtraction(false);
    long long with = 0, without = 0;
    const int rounds = 3;
    for (int i = 0; i < rounds; ++i) {
        with += TimeExtraction(true);
        without += TimeExtraction(false);
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
    if (argc != 2) {
        std::fprintf(stderr, "usage: payload_probe SOURCE_DIR\n");
        return 2;
    }
    // Freed before the folder is removed: while it lives it holds the run's folder open.
    auto extractor = std::make_unique<TPayloadExtractor>();
    if (!extractor->HasPayload()) {
        std::printf("NO PAYLOAD\n");
        return 3;
    }
    try {
        if (std::strcmp(argv[1], "--time") == 0) {
            extractor.reset();
            return PrintTimes();
        }
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
