// The ZIP reader on hand-made archives: what it extracts, and what it refuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "ZipTestKit.h"
#include "uZipFiles.h"
#include "uZipReader.h"

namespace {

using kit::TArchive;
using kit::TEntry;

// Extracts a built archive below scratch/"out" and returns the reader's message ("" on success).
struct TExtraction {
    kit::TScratch Scratch;
    std::string Error;
    std::map<std::string, std::string> Tree;

    explicit TExtraction(const std::string& zip) {
        const auto out = Scratch / "out";
        std::filesystem::create_directories(out);
        try {
            TZipMemoryInput in(zip.data(), zip.size());
            TZipReader reader(in);
            auto target = CreateFolderTarget(kit::Wide(out));
            reader.ExtractAll(*target);
        } catch (const EZipError& e) {
            Error = kit::Utf8(e.Message());
        }
        Tree = kit::Tree(out);
        // Nothing may appear beside the target folder.
        for (const std::string& p : kit::ListAll(Scratch.Path()))
            EXPECT_EQ(p.rfind("out/", 0), 0u) << "written outside the target: " << p;
    }
};

std::string Big(size_t n) {
    std::string s;
    s.reserve(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245 + 12345;
        s.push_back(char((i % 64 < 32) ? 'a' + (i % 7) : (x >> 16)));
    }
    return s;
}

// --- Good archives -----------------------------------------------------------------------

TEST(ZipReaderExtract, StoredDeflatedFoldersAndNestedFiles) {
    TArchive a;
    a.Entries.push_back({.Name = "top.txt", .Data = "top", .Method = 0});
    a.Entries.push_back({.Name = "bin/", .Data = "", .Method = 0});
    a.Entries.push_back({.Name = "bin/deep/x/app.dll", .Data = Big(700000)});
    a.Entries.push_back({.Name = "empty/", .Data = "", .Method = 0});
    a.Entries.push_back({.Name = "zero.txt", .Data = "", .Method = 8});
    a.Entries.push_back({.Name = "zero-bytes.txt", .Data = "", .Method = 8, .Raw = ""});
    TExtraction x(a.Build());
    ASSERT_EQ(x.Error, "");
    // The big file apart, so that a failure does not print 700 KB.
    EXPECT_TRUE(x.Tree["bin/deep/x/app.dll"] == Big(700000));
    x.Tree.erase("bin/deep/x/app.dll");
    const std::map<std::string, std::string> expect = {
        {"top.txt", "top"}, {"bin/", ""},     {"bin/deep/", ""},     {"bin/deep/x/", ""},
        {"empty/", ""},     {"zero.txt", ""}, {"zero-bytes.txt", ""}};
    EXPECT_EQ(x.Tree, expect);
}

TEST(ZipReaderExtract, DataDescriptorsWithAndWithoutSignature) {
    TArchive a;
    a.Entries.push_back({.Name = "a.txt", .Data = Big(5000), .Descriptor = true});
    a.Entries.push_back({.Name = "b.txt",
                         .Data = "bee",
                         .Method = 0,
                         .Descriptor = true,
                         .DescriptorSignature = false});
    a.Entries.push_back(
        {.Name = "c.txt", .Data = "sea", .Descriptor = true, .DescriptorSignature = false});
    TExtraction x(a.Build());
    ASSERT_EQ(x.Error, "");
    EXPECT_EQ(x.Tree["a.txt"], Big(5000));
    EXPECT_EQ(x.Tree["b.txt"], "bee");
    EXPECT_EQ(x.Tree["c.txt"], "sea");
}

TEST(ZipReaderExtract, NameEncodings) {
    TArchive a;
    // UTF-8 with bit 11.
    a.Entries.push_back({.Name = "\xC3\xA7"
                                 "ay.txt",
                         .Data = "1",
                         .Flags = 0x0800});
    // Code page 437 without it: 0x87 is c-cedilla, 0x81 u-umlaut.
    a.Entries.push_back({.Name = "\x87"
                                 "orba\x81.txt",
                         .Data = "2",
                         .Flags = 0});
    // Unicode Path extra field with a matching CRC wins over the stored CP437 name.
    TEntry u{.Name = "s?ker.txt", .Data = "3", .Flags = 0};
    u.Name = "s\x9Fker.txt";
    u.CentralExtra = kit::UnicodePathExtra(u.Name, "\xC5\x9F"
                                                   "eker.txt");
    a.Entries.push_back(u);
    // With a CRC that no longer matches the stored name it is ignored.
    TEntry stale{.Name = "old.txt", .Data = "4", .Flags = 0};
    stale.CentralExtra = kit::UnicodePathExtra("renamed", "\xC4\xB1gnored.txt");
    a.Entries.push_back(stale);
    TExtraction x(a.Build());
    ASSERT_EQ(x.Error, "");
    EXPECT_EQ(x.Tree["\xC3\xA7"
                     "ay.txt"],
              "1");
    EXPECT_EQ(x.Tree["\xC3\xA7"
                     "orba\xC3\xBC.txt"],
              "2");
    EXPECT_EQ(x.Tree["\xC5\x9F"
                     "eker.txt"],
              "3");
    EXPECT_EQ(x.Tree["old.txt"], "4");
    EXPECT_EQ(x.Tree.size(), 4u);
}

TEST(ZipReaderExtract, CommentHoldingAnEndRecordSignature) {
    TArchive a;
    a.Entries.push_back({.Name = "a.txt", .Data = "A"});
    a.Comment = std::string("PK\x05\x06", 4) + std::string(30, 'z');
    TExtraction x(a.Build());
    ASSERT_EQ(x.Error, "");
    EXPECT_EQ(x.Tree["a.txt"], "A");
}

TEST(ZipReaderExtract, ReplacesExistingFilesWhole) {
    kit::TScratch s;
    const auto out = s / "out";
    kit::WriteFile(out / "a.txt", std::string(10000, 'x'));
    TArchive a;
    a.Entries.push_back({.Name = "a.txt", .Data = "short"});
    a.Entries.push_back({.Name = "A/", .Data = "", .Method = 0});
    const std::string zip = a.Build();
    TZipMemoryInput in(zip.data(), zip.size());
    TZipReader reader(in);
    auto target = CreateFolderTarget(kit::Wide(out));
    reader.ExtractAll(*target);
    EXPECT_EQ(kit::ReadFile(out / "a.txt"), "short");
}

TEST(ZipReaderExtract, TreesDeeperThanMaxPath) {
    // 9 levels of 59 characters: well past the 260 characters of a classic Windows path.
    std::string name;
    for (int i = 0; i < 9; ++i)
        name += std::string(59, char('a' + i)) + "/";
    name += "deep.txt";
    TArchive a;
    a.Entries.push_back({.Name = name, .Data = "deep"});
    const std::string zip = a.Build();
    kit::TScratch s;
    const auto out = s / "out";
    std::filesystem::create_directories(out);
    TZipMemoryInput in(zip.data(), zip.size());
    TZipReader reader(in);
    reader.ExtractAll(*CreateFolderTarget(kit::Wide(out)));
    EXPECT_EQ(kit::ReadFile(kit::LongPath(out / name)), "deep");
}

TEST(ZipReaderExtract, EmptyArchiveHasNoEntries) {
    TArchive a;
    const std::string zip = a.Build();
    TZipMemoryInput in(zip.data(), zip.size());
    TZipReader reader(in);
    EXPECT_TRUE(reader.Entries().empty());
}

// Many entries of several chunks each, side by side: the tree, the same name twice (the last
// one wins, as one after another), progress, and a damaged entry in the middle that stops the
// run with the message it gives on one thread and leaves no damaged file behind.
TEST(ZipReaderExtract, SideBySideAsOneAfterAnother) {
    TArchive a;
    std::map<std::string, std::string> want;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "d" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".bin";
        const std::string data = Big(270000 + size_t(i) * 1000) + std::to_string(i);
        a.Entries.push_back({.Name = name, .Data = data, .Method = uint16_t(i % 2 ? 0 : 8)});
        want[name] = data;
        want["d" + std::to_string(i % 5) + "/"] = "";
        if (i == 5 || i == 20)
            a.Entries.push_back({.Name = "twice.txt", .Data = "entry " + std::to_string(i)});
    }
    want["twice.txt"] = "entry 20";
    const std::string zip = a.Build();
    for (unsigned workers : {1u, 4u}) {
        kit::TScratch s;
        std::filesystem::create_directories(s / "out");
        TZipMemoryInput in(zip.data(), zip.size());
        TZipReader reader(in);
        std::vector<std::pair<uint64_t, uint64_t>> heard;
        reader.ExtractAll(
            *CreateFolderTarget(kit::Wide(s / "out")),
            [&](uint64_t done, uint64_t total) { heard.emplace_back(done, total); }, workers);
        EXPECT_EQ(kit::Tree(s / "out"), want) << workers << " threads";
        ASSERT_FALSE(heard.empty());
        EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
        EXPECT_EQ(heard.back().first, heard.back().second);
        EXPECT_GT(heard.back().second, 24u * 270000);
    }

    std::string bad = zip;
    std::string message[2];
    {
        TZipMemoryInput in(zip.data(), zip.size());
        TZipReader reader(in);
        const TZipEntry& e = reader.Entries()[13]; // in the middle, deflated
        ASSERT_EQ(e.Name, L"d2/f12.bin");
        bad[size_t(e.DataOffset + e.CompressedSize / 2)] ^= 0x10;
    }
    for (unsigned workers : {1u, 4u}) {
        kit::TScratch s;
        std::filesystem::create_directories(s / "out");
        TZipMemoryInput in(bad.data(), bad.size());
        TZipReader reader(in);
        try {
            reader.ExtractAll(*CreateFolderTarget(kit::Wide(s / "out")), {}, workers);
        } catch (const EZipError& e) {
            message[workers > 1] = kit::Utf8(e.Message());
        }
        EXPECT_FALSE(std::filesystem::exists(s / "out/d2/f12.bin")) << workers << " threads";
    }
    EXPECT_NE(message[0].find("\"d2/f12.bin\""), std::string::npos) << message[0];
    EXPECT_EQ(message[1], message[0]);
}

// --- Hostile archives --------------------------------------------------------------------

struct THostileCase {
    const char* What;
    TArchive Archive;
    const char* Message; // part of the reader's message
};

TArchive One(TEntry e) {
    TArchive a;
    a.Entries.push_back({.Name = "before.txt", .Data = "fine"});
    a.Entries.push_back(std::move(e));
    return a;
}

std::vector<THostileCase> HostileCases() {
    std::vector<THostileCase> c;
    for (const char* name :
         {"../escape.txt", "a/../../escape.txt", "a\\..\\..\\escape.txt", "/abs.txt", "\\abs.txt",
          "\\\\host\\share\\x.txt", "C:\\x.txt", "C:x.txt", "x.txt:ads", "CON", "nul.txt",
          "sub/COM1.log", "LPT1", "tab\tname", "trail.", "a*b"}) {
        c.push_back({name, One({.Name = name, .Data = "evil"}), "unsafe name refused"});
    }
    // An overlong UTF-8 slash must not turn into a separator.
    c.push_back({"overlong utf-8",
                 One({.Name = "..\xC0\xAF"
                              "x",
                      .Data = "e"}),
                 "not valid UTF-8"});
    // A Unicode Path field cannot smuggle in what the stored name does not say.
    {
        TEntry e{.Name = "harmless.txt", .Data = "e", .Flags = 0};
        e.CentralExtra = kit::UnicodePathExtra(e.Name, "../escape.txt");
        c.push_back({"unicode path escaping", One(e), "unsafe name refused"});
    }
    c.push_back({"crc mismatch",
                 One({.Name = "x.txt", .Data = "data", .CentralCrc = 1, .LocalCrc = 1}),
                 "CRC error in entry \"x.txt\""});
    c.push_back({"size larger than declared",
                 One({.Name = "x.txt", .Data = "data!", .CentralUSize = 4, .LocalUSize = 4}),
                 "holds more data than declared"});
    c.push_back({"size smaller than declared",
                 One({.Name = "x.txt", .Data = "data", .CentralUSize = 9, .LocalUSize = 9}),
                 "shorter than declared"});
    c.push_back(
        {"truncated deflate",
         One({.Name = "x.txt", .Data = Big(4000), .Raw = kit::Deflate(Big(4000)).substr(0, 100)}),
         "ends too early"});
    c.push_back({"damaged deflate",
                 One({.Name = "x.txt", .Data = "abc", .Raw = std::string("\xFF\xFF\xFF\xFF", 4)}),
                 "damaged"});
    c.push_back({"bytes after deflate end",
                 One({.Name = "x.txt", .Data = "abc", .Raw = kit::Deflate("abc") + "junk"}),
                 "follow the end"});
    c.push_back({"local crc differs", One({.Name = "x.txt", .Data = "abc", .LocalCrc = 7}),
                 "local header disagrees"});
    c.push_back({"local size differs", One({.Name = "x.txt", .Data = "abc", .LocalUSize = 99}),
                 "local header disagrees"});
    c.push_back({"local name differs",
                 One({.Name = "x.txt", .Data = "abc", .LocalName = std::string("../x.txt")}),
                 "local header disagrees with the central directory (name)"});
    c.push_back({"local method differs",
                 One({.Name = "x.txt", .Data = "abc", .Method = 0, .LocalMethod = 8}),
                 "local header disagrees"});
    c.push_back({"descriptor disagrees",
                 One({.Name = "x.txt", .Data = "abc", .Descriptor = true, .CentralCrc = 5}),
                 "data descriptor"});
    c.push_back({"encrypted", One({.Name = "x.txt", .Data = "abc", .Flags = 0x0801}), "encrypted"});
    c.push_back({"aes",
                 One({.Name = "x.txt", .Data = "abc", .Method = 99, .Raw = std::string("abc")}),
                 "encrypted (AES)"});
    c.push_back({"bzip2",
                 One({.Name = "x.txt", .Data = "abc", .Method = 12, .Raw = std::string("abc")}),
                 "compression method 12"});
    c.push_back({"zip64 sizes", One({.Name = "x.txt", .Data = "abc", .CentralCSize = 0xFFFFFFFF}),
                 "ZIP64"});
    c.push_back({"other volume", One({.Name = "x.txt", .Data = "abc", .CentralDisk = 1}),
                 "another volume"});
    c.push_back({"stored sizes differ",
                 One({.Name = "x.txt", .Data = "abc", .Method = 0, .CentralUSize = 2}),
                 "two sizes differ"});
    c.push_back({"folder with data", One({.Name = "dir/", .Data = "abc"}), "folder but has data"});
    c.push_back({"offset outside",
                 One({.Name = "x.txt", .Data = "abc", .CentralOffset = 0x7FFFFFFF}),
                 "points outside the archive"});
    {
        // Second entry's central record points at the first entry's local header.
        TArchive a;
        a.Entries.push_back({.Name = "x.txt", .Data = "abc"});
        a.Entries.push_back({.Name = "x.txt", .Data = "abc", .CentralOffset = 0});
        c.push_back({"two entries share data", a, "overlap"});
    }
    {
        // A compressed size running over the next entry's header.
        TArchive a;
        a.Entries.push_back({.Name = "a.txt",
                             .Data = "abc",
                             .Method = 0,
                             .Raw = std::string("abc"),
                             .CentralCSize = 40,
                             .CentralUSize = 40,
                             .LocalCSize = 40,
                             .LocalUSize = 40});
        a.Entries.push_back({.Name = "b.txt", .Data = "defghijklmnopqrstuvwxyz0123456789ABCDEF"});
        c.push_back({"data runs into the next entry", a, "overlap"});
    }
    return c;
}

TEST(ZipReaderHostile, EachRefusedWithNothingOutsideTheTarget) {
    for (const THostileCase& h : HostileCases()) {
        SCOPED_TRACE(h.What);
        TExtraction x(h.Archive.Build());
        EXPECT_NE(x.Error.find(h.Message), std::string::npos) << "message: " << x.Error;
        // Names, headers and layout are checked before anything is written; a data fault leaves
        // only the entries before it.
        for (const auto& [path, data] : x.Tree)
            EXPECT_EQ(path, "before.txt") << "left behind: " << path;
    }
}

TEST(ZipReaderHostile, MessageNamesTheEntry) {
    TExtraction x(One({.Name = "sub/../../x.txt", .Data = "e"}).Build());
    EXPECT_NE(x.Error.find("entry \"sub/../../x.txt\""), std::string::npos) << x.Error;
    TExtraction y(One({.Name = "ctl\x01.txt", .Data = "e"}).Build());
    EXPECT_NE(y.Error.find("entry \"ctl\\x01.txt\""), std::string::npos) << y.Error;
}

TEST(ZipReaderHostile, DamagedDirectoryAndEndRecord) {
    TArchive a;
    a.Entries.push_back({.Name = "a.txt", .Data = "abc"});
    const std::string good = a.Build();
    const size_t end = kit::EndRecord(good);
    struct TCase {
        const char* What;
        std::string Zip;
        const char* Message;
    };
    std::vector<TCase> cases;
    cases.push_back({"not a zip", std::string(100, 'x'), "end of central directory not found"});
    cases.push_back({"too small", "PK", "end of central directory not found"});
    cases.push_back({"cut off at the end", good.substr(0, good.size() - 1), "not found"});
    cases.push_back({"truncated before directory", good.substr(good.size() / 2), "not"});
    {
        std::string z = good + "trailing";
        cases.push_back({"data after the end record", z, "not found"});
    }
    {
        std::string z = good;
        kit::Patch32(z, end + 16, 1);
        cases.push_back({"directory offset wrong", z, "central directory is not where"});
    }
    {
        std::string z = good;
        kit::Patch16(z, end + 8, 2);
        kit::Patch16(z, end + 10, 2);
        cases.push_back({"more entries than present", z, "central directory entry 2"});
    }
    {
        std::string z = good;
        kit::Patch16(z, end + 4, 1);
        cases.push_back({"split archive", z, "split"});
    }
    {
        std::string z = good;
        z[end - 46 - 5] ^= 0x55; // inside the central header's signature region
        z[0x0] = 'X';            // and the local header
        cases.push_back({"bad signatures", z, "bad signature"});
    }
    {
        // A ZIP64 locator in front of the end record.
        std::string z = good.substr(0, end) + std::string("PK\x06\x07", 4) + std::string(16, '\0') +
                        good.substr(end);
        kit::Patch32(z, z.size() - 22 + 16, uint32_t(end));
        cases.push_back({"zip64 locator", z, "ZIP64"});
    }
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TExtraction x(c.Zip);
        EXPECT_NE(x.Error.find(c.Message), std::string::npos) << "message: " << x.Error;
        EXPECT_TRUE(x.Tree.empty());
    }
}

TEST(ZipReaderHostile, EveryTruncationIsRefused) {
    TArchive a;
    a.Entries.push_back({.Name = "dir/", .Data = "", .Method = 0});
    a.Entries.push_back({.Name = "dir/a.txt", .Data = Big(3000)});
    a.Entries.push_back({.Name = "b.txt", .Data = "bbb", .Method = 0, .Descriptor = true});
    const std::string zip = a.Build();
    for (size_t n = 0; n < zip.size(); ++n) {
        const std::string cut = zip.substr(0, n);
        TZipMemoryInput in(cut.data(), cut.size());
        EXPECT_THROW(TZipReader reader(in), EZipError) << "cut at " << n;
    }
}

TEST(ZipReaderHostile, EveryBitFlipInDataIsCaught) {
    TArchive a;
    a.Entries.push_back({.Name = "s.bin", .Data = "stored bytes here", .Method = 0});
    a.Entries.push_back({.Name = "d.bin", .Data = Big(2000)});
    const std::string zip = a.Build();
    std::vector<size_t> dataBytes;
    {
        TZipMemoryInput in(zip.data(), zip.size());
        TZipReader reader(in);
        for (const TZipEntry& e : reader.Entries())
            for (uint64_t i = e.DataOffset; i < e.DataOffset + e.CompressedSize; ++i)
                dataBytes.push_back(size_t(i));
    }
    ASSERT_GT(dataBytes.size(), 100u);
    for (size_t i : dataBytes) {
        std::string bad = zip;
        bad[i] ^= 0x01;
        bool failed = false;
        try {
            TZipMemoryInput in(bad.data(), bad.size());
            TZipReader reader(in);
            for (const TZipEntry& e : reader.Entries()) {
                struct TSink : TZipOutFile {
                    void Write(const void*, size_t) override {}
                    void Close() override {}
                    void Discard() override {}
                } sink;
                if (!e.Path.IsFolder)
                    reader.ExtractEntry(e, sink);
            }
        } catch (const EZipError&) {
            failed = true;
        }
        EXPECT_TRUE(failed) << "flip at byte " << i << " went unnoticed";
    }
}

} // namespace
