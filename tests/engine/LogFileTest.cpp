// The log file on disk: names, contents as written line by line, and the keeping of the newest.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "TestFiles.h"
#include "uFileUtil.h"
#include "uLogFile.h"

namespace {

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

SYSTEMTIME At(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t = {};
    t.wYear = y, t.wMonth = mo, t.wDay = d, t.wHour = h, t.wMinute = mi, t.wSecond = s;
    return t;
}

std::set<std::wstring> Names(const std::wstring& dir) {
    std::set<std::wstring> names;
    for (const TDirEntry& e : ListEntries(dir + L"\\*"))
        names.insert(e.Name);
    return names;
}

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        dir = std::wstring(tmp) + L"corvane-logfile-test\\Logs";
        RemoveTree(dir);
    }
    void TearDown() override { RemoveTree(dir); }
    std::wstring dir;
};

TEST(LogFileNames, StampAndPrefixRules) {
    EXPECT_EQ(LogFileName(L"kurulum", At(2026, 5, 7, 9, 3, 4)), L"kurulum-20260507-090304.log");
    const struct {
        const wchar_t* name;
        bool matches;
    } cases[] = {
        {L"kurulum-20260507-090304.log", true},      {L"KURULUM-20260507-090304.LOG", true},
        {L"kurulum-20260507-090304-2.log", true},    {L"kurulum-20260507-090304-.log", false},
        {L"kaldirma-20260507-090304.log", false},    {L"kurulum-2026050-090304.log", false},
        {L"kurulum-20260507-090304.txt", false},     {L"kurulum-20260507-0903x4.log", false},
        {L"kurulum-20260507-090304.log.bak", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsLogFileOf(c.name, L"kurulum"), c.matches) << c.name;
    // ProgramData of the prefix, as the system names it.
    EXPECT_TRUE(LogsDir().ends_with(L"\\CorvaneMarket\\Logs")) << LogsDir();
}

TEST_F(LogFile, LinesAreOnDiskAsTheyComeInUtf8WithBomAndCrLf) {
    TLogFile log;
    ASSERT_TRUE(OpenRunLogIn(log, dir, L"kurulum", At(2026, 12, 10, 1, 2, 3), 20));
    const std::wstring path = dir + L"\\kurulum-20261210-010203.log";
    EXPECT_EQ(log.Path(), path);
    log.WriteLine(L"[3/14] Klasörler oluşturuluyor...");
    // Still open: what a crashed run would leave behind.
    EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF[3/14] Klas\xC3\xB6rler olu\xC5\x9Fturuluyor...\r\n");
    log.WriteLine(L"");
    log.WriteLine(L"  OK");
    log.Close();
    EXPECT_EQ(ReadBytes(path),
              "\xEF\xBB\xBF[3/14] Klas\xC3\xB6rler olu\xC5\x9Fturuluyor...\r\n\r\n  OK\r\n");
    log.WriteLine(L"after close"); // goes nowhere, harms nothing

    // A second run in the same second gets its own file; appending to a named file keeps
    // what is there and writes no second byte-order mark.
    TLogFile second;
    ASSERT_TRUE(OpenRunLogIn(second, dir, L"kurulum", At(2026, 12, 10, 1, 2, 3), 20));
    EXPECT_EQ(second.Path(), dir + L"\\kurulum-20261210-010203-2.log");
    TLogFile append;
    ASSERT_TRUE(append.OpenAppend(path));
    append.WriteLine(L"x");
    append.Close();
    EXPECT_TRUE(ReadBytes(path).ends_with("  OK\r\nx\r\n"));
    EXPECT_EQ(ReadBytes(path).find("\xEF\xBB\xBF", 1), std::string::npos);

    // No folder to write to: the log stays closed and writing is harmless.
    TLogFile nowhere;
    EXPECT_FALSE(OpenRunLogIn(nowhere, L"", L"kurulum", At(2026, 12, 10, 1, 2, 3), 20));
    EXPECT_FALSE(nowhere.Create(dir + L"\\missing\\folder\\x.log"));
    nowhere.WriteLine(L"lost");
    EXPECT_FALSE(nowhere.IsOpen());
}

TEST_F(LogFile, KeepsTheNewestOfItsPrefixOnly) {
    ASSERT_TRUE(ForceDirectories(dir));
    for (int i = 0; i < 23; ++i) {
        TLogFile log;
        ASSERT_TRUE(log.Create(dir + L"\\" + LogFileName(L"kurulum", At(2026, 1, 1 + i, 0, 0, 0))));
    }
    for (const wchar_t* other : {L"kaldirma-20250101-000000.log", L"notes.txt"}) {
        TLogFile log;
        ASSERT_TRUE(log.Create(dir + L"\\" + other));
    }
    TLogFile log;
    // The newest run is the one of the same second as the last file.
    ASSERT_TRUE(OpenRunLogIn(log, dir, L"kurulum", At(2026, 1, 23, 0, 0, 0), 20));
    const std::set<std::wstring> names = Names(dir);
    EXPECT_EQ(names.size(), 22u);
    EXPECT_TRUE(names.count(L"kurulum-20260123-000000-2.log"));
    EXPECT_TRUE(names.count(L"kurulum-20260123-000000.log"));
    EXPECT_TRUE(names.count(L"kurulum-20260105-000000.log"));
    EXPECT_FALSE(names.count(L"kurulum-20260104-000000.log"));
    EXPECT_FALSE(names.count(L"kurulum-20260101-000000.log"));
    EXPECT_TRUE(names.count(L"kaldirma-20250101-000000.log"));
    EXPECT_TRUE(names.count(L"notes.txt"));
}

} // namespace
