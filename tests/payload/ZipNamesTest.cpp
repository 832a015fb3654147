// Name rules of the reader: decoding and the hostile-name table.
#include <gtest/gtest.h>

#include "ZipTestKit.h"
#include "uZipNames.h"

namespace {

struct TNameCase {
    const char* Name;   // UTF-8
    const char* Expect; // parts joined by "|" (folder: trailing "|/"), or "!" + part of the reason
};

std::string Describe(const TEntryPath& p) {
    std::string s;
    for (size_t i = 0; i < p.Parts.size(); ++i)
        s += (i ? "|" : "") + kit::Utf8(p.Parts[i]);
    if (p.IsFolder)
        s += "|/";
    return s;
}

const TNameCase NAME_CASES[] = {
    // Ordinary names, both separators.
    {"a.txt", "a.txt"},
    {"dir/sub/file.dll", "dir|sub|file.dll"},
    {"dir\\sub\\file.dll", "dir|sub|file.dll"},
    {"dir/", "dir|/"},
    {"dir/sub/", "dir|sub|/"},
    {"./a/./b.txt", "a|b.txt"},
    {"./", "|/"},
    {"a..b/c...d.txt", "a..b|c...d.txt"},
    {"con.txt.bak/x", "!device"},
    {"console/x", "console|x"},
    {"nullable.txt", "nullable.txt"},
    {"COM10", "COM10"},
    {"LPT", "LPT"},
    {" lead blank.txt", " lead blank.txt"},
    {"çay/şeker.txt", "çay|şeker.txt"},
    // Leaving the target folder.
    {"../evil.txt", "!parent"},
    {"a/../../evil.txt", "!parent"},
    {"a\\..\\..\\evil.txt", "!parent"},
    {"..", "!parent"},
    {"a/..", "!parent"},
    {"/etc/passwd", "!absolute"},
    {"\\Windows\\evil.dll", "!absolute"},
    {"\\\\server\\share\\x", "!absolute"},
    {"//server/share/x", "!absolute"},
    {"\\\\?\\C:\\x", "!absolute"},
    {"\\\\.\\PhysicalDrive0", "!absolute"},
    {"C:evil.txt", "!drive"},
    {"C:\\evil.txt", "!drive"},
    {"c:/evil.txt", "!drive"},
    {"file.txt:stream", "!colon"},
    {"dir/file::$DATA", "!colon"},
    // Names Windows would turn into something else.
    {"CON", "!device"},
    {"con", "!device"},
    {"NUL.txt", "!device"},
    {"dir/aux.log", "!device"},
    {"COM1", "!device"},
    {"com9.bin", "!device"},
    {"LPT1", "!device"},
    {"lpt0.txt", "!device"},
    {"PRN .txt", "!device"},
    {"CONIN$", "!device"},
    {"COM\xC2\xB9", "!device"},
    {"trail.", "!dot"},
    {"trail ", "!dot"},
    {"dir./x", "!dot"},
    {"...", "!dot"},
    {"a/.../b", "!dot"},
    {"a*b", "!character"},
    {"a?b", "!character"},
    {"a<b>", "!character"},
    {"a|b", "!character"},
    {"a\"b", "!character"},
    {"tab\there", "!control"},
    {"new\nline", "!control"},
    {"a//b", "!empty"},
    {"a/b//", "!empty"},
    {"", "!empty"},
    {".", "!does not name a file"},
    {"a/.", "!does not name a file"},
};

TEST(ZipNames, CleanEntryNameTable) {
    for (const TNameCase& c : NAME_CASES) {
        std::wstring name = kit::Wide(std::string(c.Name));
        TEntryPath path;
        const std::wstring why = CleanEntryName(name, path);
        const std::string expect = c.Expect;
        if (expect[0] == '!') {
            EXPECT_NE(kit::Utf8(why).find(expect.substr(1)), std::string::npos)
                << "name \"" << c.Name << "\" gave reason \"" << kit::Utf8(why) << "\"";
        } else {
            EXPECT_TRUE(why.empty()) << "name \"" << c.Name << "\" refused: " << kit::Utf8(why);
            EXPECT_EQ(Describe(path), expect) << "name \"" << c.Name << "\"";
        }
    }
}

TEST(ZipNames, ControlCharacterAndNulRefused) {
    for (int c = 1; c < 0x20; ++c) {
        std::wstring name = L"a";
        name.push_back(wchar_t(c));
        TEntryPath path;
        EXPECT_FALSE(CleanEntryName(name, path).empty()) << "control " << c;
    }
    TEntryPath path;
    EXPECT_FALSE(CleanEntryName(std::wstring(L"a\0b", 3), path).empty());
}

TEST(ZipNames, LongPartRefused) {
    TEntryPath path;
    EXPECT_TRUE(CleanEntryName(std::wstring(255, L'x'), path).empty());
    EXPECT_NE(kit::Utf8(CleanEntryName(std::wstring(256, L'x'), path)).find("longer"),
              std::string::npos);
}

struct TUtf8Case {
    std::string Bytes;
    bool Valid;
    std::u32string Expect;
};

TEST(ZipNames, DecodeUtf8Table) {
    const TUtf8Case cases[] = {
        {"abc", true, U"abc"},
        {"\xC3\xA7\x61\x79", true, U"\u00E7ay"},
        {"\xE2\x82\xAC", true, U"\u20AC"},
        {"\xF0\x9F\x98\x80", true, U"\U0001F600"},
        {"\xC0\xAF", false, U""},         // overlong "/": must never decode to a slash
        {"\xE0\x80\xAF", false, U""},     // overlong, three bytes
        {"\xED\xA0\x80", false, U""},     // surrogate
        {"\xF4\x90\x80\x80", false, U""}, // above U+10FFFF
        {"\xC3", false, U""},             // cut short
        {"\x80", false, U""},             // stray continuation
        {"\xFF", false, U""},
    };
    for (const TUtf8Case& c : cases) {
        std::wstring out;
        EXPECT_EQ(DecodeUtf8(c.Bytes, out), c.Valid) << c.Bytes;
        if (c.Valid) {
            std::wstring expect;
            for (char32_t cp : c.Expect)
                AppendCodePoint(expect, cp);
            EXPECT_EQ(out, expect);
            EXPECT_EQ(WideToUtf8(out), c.Bytes);
        }
    }
}

TEST(ZipNames, Cp437HighHalf) {
    // Spot checks across the table, as the IBM PC drew them.
    const std::pair<unsigned char, char32_t> cases[] = {
        {0x41, U'A'},   {0x80, 0x00C7}, {0x81, 0x00FC}, {0x87, 0x00E7}, {0x94, 0x00F6},
        {0x9E, 0x20A7}, {0xA4, 0x00F1}, {0xB0, 0x2591}, {0xC4, 0x2500}, {0xDB, 0x2588},
        {0xE1, 0x00DF}, {0xE6, 0x00B5}, {0xF1, 0x00B1}, {0xFD, 0x00B2}, {0xFF, 0x00A0},
    };
    for (const auto& [byte, cp] : cases) {
        const std::wstring w = DecodeCp437(std::string(1, char(byte)));
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(char32_t(w[0]), cp) << int(byte);
    }
}

TEST(ZipNames, FoldNameCaseAsWindowsComparesNames) {
    // Pairs that are one name on Windows, and pairs that stay two.
    const std::pair<const wchar_t*, const wchar_t*> same[] = {
        {L"Config.json", L"CONFIG.JSON"},
        {L"masaustu/Readme", L"MASAUSTU/readme"},
        {L"\u00E7al\u0131\u015Fma \u00F6\u011F\u00FC", L"\u00C7ALI\u015EMA \u00D6\u011E\u00DC"},
        {L"\u0131", L"i"}, // dotless i and i: both I in upper case
        {L"\u00FF\u0148\u017E", L"\u0178\u0147\u017D"},
        {L"\u03B1\u03C2\u03C3", L"\u0391\u03A3\u03A3"},
        {L"\u0436\u0451\u0463", L"\u0416\u0401\u0462"},
        {L"\uFF41", L"\uFF21"},
    };
    for (const auto& [a, b] : same)
        EXPECT_EQ(FoldNameCase(a), FoldNameCase(b)) << testing::PrintToString(std::wstring(a));
    const std::pair<const wchar_t*, const wchar_t*> apart[] = {
        {L"\u0130", L"I"}, // dotted capital I has no small form that folds to I
        {L"\u00DF", L"SS"},
        {L"a.txt", L"a.txt "},
        {L"\u00F7", L"\u00D7"}, // division and multiplication signs are not letters
    };
    for (const auto& [a, b] : apart)
        EXPECT_NE(FoldNameCase(a), FoldNameCase(b)) << testing::PrintToString(std::wstring(a));
    EXPECT_EQ(FoldNameCase(L"Logs/empty/"), L"LOGS/EMPTY/");
}

TEST(ZipNames, PrintableNameEscapesControls) {
    EXPECT_EQ(PrintableName(L"a\nb\x1F"), L"a\\x0Ab\\x1F");
}

} // namespace
