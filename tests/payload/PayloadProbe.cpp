// payload_probe: the setup program's extractor on the probe's own file, as the wizard calls it.
// Packed as a setup file, signed and started under Wine, it shows that the payload of the
// running executable is found and extracted.
//   payload_probe SOURCE_DIR   extract, compare with SOURCE_DIR; prints IDENTICAL, exit 0
//   payload_probe --time       extract only, print how long ExtractToTemp took and how much of
//                              it the seal's SHA-256 took (benchmark)
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

namespace {

// The SHA-256 of the archive alone, read as the extraction reads it: in megabyte blocks.
long long HashMilliseconds() {
    TSystemPayloadPlatform sys;
    std::unique_ptr<TZipInput> file = sys.OpenRead(sys.ExePath(), false);
    const TPayloadLocation loc = LocatePayload(*file);
    std::vector<unsigned char> buf(PAYLOAD_COPY_BUFFER);
    const auto start = std::chrono::steady_clock::now();
    TSha256 hash;
    for (uint64_t off = 0; off < loc.Length;) {
        const size_t n = loc.Length - off < buf.size() ? size_t(loc.Length - off) : buf.size();
        file->ReadAt(loc.Offset + off, buf.data(), n);
        hash.Update(buf.data(), n);
        off += n;
    }
    hash.Final();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
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
            const auto start = std::chrono::steady_clock::now();
            const std::wstring dir = extractor->ExtractToTemp();
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            std::printf("ExtractToTemp %lld ms\n", static_cast<long long>(ms.count()));
            extractor.reset();
            std::filesystem::remove_all(std::filesystem::path(dir));
            const long long hashMs = HashMilliseconds();
            const long long without = ms.count() > hashMs ? ms.count() - hashMs : 1;
            std::printf("of which the seal's SHA-256 %lld ms: %.1f%% of the extraction without "
                        "it\n",
                        hashMs, 100.0 * double(hashMs) / double(without));
            return 0;
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
