// The log file on disk: names, contents as written line by line, and the keeping of the newest.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "HostTestSupport.h"
#include "TestFiles.h"
#include "uFileUtil.h"
#include "uLogFile.h"

namespace {

// The file without the time each line starts with, which every line must have.
std::string Untimed(const std::string& bytes) {
    static const std::regex time("(^\xEF\xBB\xBF|\n)\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ");
    return std::regex_replace(bytes, time, "$1");
}

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
    EXPECT_EQ(Untimed(ReadBytes(path)),
              "\xEF\xBB\xBF[3/14] Klas\xC3\xB6rler olu\xC5\x9Fturuluyor...\r\n");
    log.WriteLine(L"");
    log.WriteLine(L"  OK");
    log.Close();
    EXPECT_EQ(Untimed(ReadBytes(path)),
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
    EXPECT_TRUE(Untimed(ReadBytes(path)).ends_with("  OK\r\nx\r\n"));
    EXPECT_TRUE(
        std::regex_search(ReadBytes(path), std::regex(R"(\n\d\d:\d\d:\d\d\.\d\d\d x\r\n$)")));
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

// Every user may read the logs: no database password in them, and no file an ordinary user
// prepared (a link at the Logs folder or at the /LOG= name, a second name of another file)
// is ever written.
TEST_F(LogFile, NoPasswordOnDiskAndNothingWrittenThroughALink) {
    const struct {
        const wchar_t *line, *masked;
    } cases[] = {
        {L"  > mariadb.exe -h 127.0.0.1 -u root -P 3307 -pkelmor482 -e \"SOURCE C:/x.sql\"",
         L"  > mariadb.exe -h 127.0.0.1 -u root -P 3307 -p**** -e \"SOURCE C:/x.sql\""},
        {L"  > mariadb-install-db.exe --datadir=\"D:\\Data\" --password=kelmor482",
         L"  > mariadb-install-db.exe --datadir=\"D:\\Data\" --password=****"},
        {L"  > sc query CorvaneDB", L"  > sc query CorvaneDB"},
        {L"  Kopyalandı: D:\\x-proje\\a.txt -p", L"  Kopyalandı: D:\\x-proje\\a.txt -p"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MaskPasswords(c.line), c.masked);
    TLogFile log;
    ASSERT_TRUE(OpenRunLogIn(log, dir, L"kurulum", At(2026, 12, 10, 1, 2, 3), 20));
    const std::wstring path = log.Path();
    log.WriteLine(cases[0].line);
    log.WriteLine(cases[1].line);
    log.Close();
    EXPECT_EQ(ReadBytes(path).find("kelmor482"), std::string::npos);
    EXPECT_NE(ReadBytes(path).find("-p**** -e"), std::string::npos);

    // /LOG= naming a link or a second name of a file: refused, the file behind untouched.
    const std::wstring outside = dir + L"-outside";
    RemoveTree(outside);
    ASSERT_TRUE(ForceDirectories(outside));
    WriteText(outside + L"\\secret.txt", "secret");
    // Wine shows a link by name only for folders; a file's other name shows as a hard link.
    ASSERT_TRUE(MakeFolderLink(dir + L"\\linked.log", outside));
    std::wstring why;
    TLogFile user;
    EXPECT_FALSE(user.OpenAppend(dir + L"\\linked.log", &why));
    EXPECT_FALSE(why.empty());
    ASSERT_TRUE(CreateHardLinkW((dir + L"\\second.log").c_str(),
                                (outside + L"\\secret.txt").c_str(), nullptr));
    EXPECT_FALSE(user.OpenAppend(dir + L"\\second.log", &why));
    EXPECT_FALSE(user.IsOpen());
    EXPECT_EQ(ReadText(outside + L"\\secret.txt"), "secret");

    // The Logs folder itself planted as a link: no log at all.
    const std::wstring linkedLogs = dir + L"-linked";
    ASSERT_TRUE(MakeFolderLink(linkedLogs, outside));
    TLogFile none;
    EXPECT_FALSE(OpenRunLogIn(none, linkedLogs, L"kurulum", At(2026, 12, 10, 1, 2, 3), 20));
    EXPECT_EQ(Names(outside), std::set<std::wstring>{L"secret.txt"});
}

} // namespace
