// The backup store on the prefix's real D: drive: where the backup goes, how backup.info is
// written and read, what each update mode backs up and counts, and that a failed backup never
// costs the previous one.
#include "BackupTestSupport.h"

#include <regex>

namespace {

using TLines = std::vector<std::wstring>;

const std::wstring kInfo = kBackup + L"\\backup.info";

int64_t SizeOfString(const std::string& s) {
    return static_cast<int64_t>(s.size());
}

// backup.info split at CR LF; fails the test on a bare LF or CR or a missing mark.
std::vector<std::string> InfoLines(const std::string& bytes) {
    std::vector<std::string> lines;
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF") << "byte-order mark";
    EXPECT_GE(bytes.size(), 5u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << "last line ends with CR LF";
    std::string rest = bytes.substr(3);
    size_t pos = 0;
    while (pos < rest.size()) {
        const size_t end = rest.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text after the last CR LF";
            break;
        }
        const std::string line = rest.substr(pos, end - pos);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare CR or LF in " << line;
        lines.push_back(line);
        pos = end + 2;
    }
    return lines;
}

std::string Today() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char buf[16];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned(t.wYear), unsigned(t.wMonth),
             unsigned(t.wDay));
    return buf;
}

// A previous backup, as an earlier update left it.
void MakePreviousBackup() {
    Put(kInfo, "\xEF\xBB\xBFTARIH=2020-01-02 03:04:05\r\nMOD=TamGuncelleme\r\n"
               "INSTALL_DIR=D:\\CorvaneZideroZur\r\nBOYUT=42\r\n");
    Put(kBackup + L"\\CorvaneZideroZUR.exe", "old till program");
    Put(kBackup + L"\\eski.dll", "a library only the old version had");
    Put(kBackup + L"\\masaustu\\old.html", "old page");
}

// ---------------------------------------------------------------------------------------------
// Where the backup goes and whether there is one

class BackupLocation : public BackupFixture {};

TEST_F(BackupLocation, FolderIsAtTheRootOfTheInstallationDrive) {
    const std::vector<std::pair<std::wstring, std::wstring>> table = {
        {L"D:\\CorvaneZideroZur", L"D:\\CorvaneUpdateYedek"},
        {L"E:\\CorvaneZideroZur", L"E:\\CorvaneUpdateYedek"},
        {L"e:\\Programlar\\CorvaneZideroZur", L"e:\\CorvaneUpdateYedek"},
        {L"D:\\", L"D:\\CorvaneUpdateYedek"},
        {L"\\\\sunucu\\paylasim\\CorvaneZideroZur", L"\\\\sunucu\\paylasim\\CorvaneUpdateYedek"},
        {L"", L"C:\\CorvaneUpdateYedek"},
        {L"CorvaneZideroZur", L"C:\\CorvaneUpdateYedek"},
    };
    for (const auto& [install, backup] : table) {
        engine->SetInstallDir(install);
        EXPECT_EQ(engine->BackupDir(), backup) << install;
    }
}

TEST_F(BackupLocation, ExistsOnlyWithBackupInfoAsAFile) {
    EXPECT_FALSE(engine->BackupExists());
    Put(kBackup + L"\\CorvaneZideroZUR.exe", "x");
    EXPECT_FALSE(engine->BackupExists()) << "folder without backup.info";
    std::wstring tarih = L"junk";
    int64_t boyut = 7;
    EXPECT_FALSE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, L"");
    EXPECT_EQ(boyut, 0);

    MakeDirs(kInfo);
    EXPECT_FALSE(engine->BackupExists()) << "a folder named backup.info";
    RemoveDirectoryW(kInfo.c_str());

    // What a power cut leaves of a backup.info: nothing, zeros, or its first lines only.
    const std::string whole = "\xEF\xBB\xBFTARIH=2026-05-10 22:49:05\r\nMOD=DosyaGuncelleme\r\n"
                              "INSTALL_DIR=D:\\CorvaneZideroZur\r\nBOYUT=32182272\r\n";
    for (const std::string& cut :
         {std::string(), std::string(whole.size(), '\0'), whole.substr(0, whole.size() - 2),
          whole.substr(0, whole.find("BOYUT")), whole.substr(whole.find("MOD"))}) {
        Put(kInfo, cut);
        EXPECT_FALSE(engine->BackupExists()) << cut.size() << " bytes";
    }
    Put(kInfo, "TARIH=2026-05-10 22:49:05\nBOYUT=1\n");
    EXPECT_TRUE(engine->BackupExists()) << "another tool's line ends";
    Put(kInfo, whole);
    EXPECT_TRUE(engine->BackupExists());
    engine->SetInstallDir(L"E:\\CorvaneZideroZur");
    EXPECT_FALSE(engine->BackupExists()) << "the backup of another drive";
}

// ---------------------------------------------------------------------------------------------
// Reading backup.info

class BackupInfoRead : public BackupFixture {
protected:
    bool Read(const std::string& bytes) {
        Put(kInfo, bytes);
        tarih = L"junk";
        boyut = -5;
        return engine->GetBackupInfo(tarih, boyut);
    }
    std::wstring tarih;
    int64_t boyut = 0;
};

TEST_F(BackupInfoRead, ReadsOurOwnFormat) {
    ASSERT_TRUE(Read("\xEF\xBB\xBFTARIH=2026-05-10 22:49:05\r\nMOD=DosyaGuncelleme\r\n"
                     "INSTALL_DIR=C:\\CorvaneZideroZur\r\nBOYUT=32182272\r\n"));
    EXPECT_EQ(tarih, L"2026-05-10 22:49:05");
    EXPECT_EQ(boyut, 32182272);
}

TEST_F(BackupInfoRead, ReadsAFileWithoutMarkAndWithOtherLineEnds) {
    ASSERT_TRUE(Read("TARIH=2026-05-17 00:06:04\nMOD=TamGuncelleme\nBOYUT=5368709120\n"));
    EXPECT_EQ(tarih, L"2026-05-17 00:06:04");
    EXPECT_EQ(boyut, 5368709120LL) << "sizes beyond 32 bits";
    ASSERT_TRUE(Read("TARIH=2026-01-01 10.00.00\rBOYUT=12\r"));
    EXPECT_EQ(tarih, L"2026-01-01 10.00.00");
    EXPECT_EQ(boyut, 12);
    ASSERT_TRUE(Read("BOYUT=99\r\n\r\nTARIH=x")) << "no line end after the last line";
    EXPECT_EQ(tarih, L"x");
    EXPECT_EQ(boyut, 99);
}

TEST_F(BackupInfoRead, RepeatedKeyTakesItsLastValue) {
    ASSERT_TRUE(Read("\xEF\xBB\xBFTARIH=eski\r\nBOYUT=1\r\nTARIH=yeni\r\nBOYUT=2\r\n"));
    EXPECT_EQ(tarih, L"yeni");
    EXPECT_EQ(boyut, 2);
}

TEST_F(BackupInfoRead, SizeThatIsNotANumberReadsAsZero) {
    for (const char* bad : {"BOYUT=abc", "BOYUT=12MB", "BOYUT=", "BOYUT= 12",
                            "BOYUT=99999999999999999999", "BOYUT=0x10"}) {
        EXPECT_TRUE(Read(std::string("TARIH=t\r\n") + bad + "\r\n")) << bad;
        EXPECT_EQ(boyut, 0) << bad;
        EXPECT_EQ(tarih, L"t") << bad;
    }
    ASSERT_TRUE(Read("BOYUT=-7\r\n"));
    EXPECT_EQ(boyut, -7);
    ASSERT_TRUE(Read("BOYUT=12\r\nBOYUT=yok\r\n")) << "a bad last value wins as 0";
    EXPECT_EQ(boyut, 0);
}

TEST_F(BackupInfoRead, KeysAreCaseSensitiveAndAFileWithoutThemStillCounts) {
    ASSERT_TRUE(Read("tarih=x\r\nboyut=5\r\n TARIH=y\r\nMOD=TamGuncelleme\r\n"));
    EXPECT_EQ(tarih, L"");
    EXPECT_EQ(boyut, 0);
    ASSERT_TRUE(Read(""));
    EXPECT_EQ(tarih, L"");
    EXPECT_EQ(boyut, 0);
}

TEST_F(BackupInfoRead, DecodesUtf8AndRefusesBrokenText) {
    ASSERT_TRUE(Read("\xEF\xBB\xBFTARIH=2026-05-10 \xC5\x9E\xC4\x9F\r\nBOYUT=3\r\n"));
    EXPECT_EQ(tarih, L"2026-05-10 \u015E\u011F");
    EXPECT_FALSE(Read("TARIH=2026\xFF\xFE\r\nBOYUT=3\r\n")) << "not UTF-8";
    EXPECT_EQ(tarih, L"") << "outputs stay empty on failure";
    EXPECT_EQ(boyut, 0);
}

TEST_F(BackupInfoRead, AFileFarTooLargeForOursIsNotRead) {
    PutSized(kInfo, 50LL * 1024 * 1024);
    tarih = L"junk";
    boyut = 3;
    EXPECT_FALSE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, L"");
    EXPECT_EQ(boyut, 0);
}

// ---------------------------------------------------------------------------------------------
// Taking the backup

class CreateBackupTest : public BackupFixture {
protected:
    // Till program, both libraries and the desktop tree: what BOYUT counts.
    int64_t CountedSize() const {
        return SizeOfString(FileBytes(kInstall + L"\\CorvaneZideroZUR.exe")) +
               SizeOfString(FileBytes(kInstall + L"\\CorvaneCore.dll")) +
               SizeOfString(FileBytes(kInstall + L"\\sqlite3.dll")) +
               SizeOfString(FileBytes(kInstall + L"\\masaustu\\index.html")) +
               SizeOfString(FileBytes(kInstall + L"\\masaustu\\assets\\app.js"));
    }
    std::string InfoBoyut() {
        const auto lines = InfoLines(FileBytes(kInfo));
        return lines.size() == 4 ? lines[3] : std::string("<no 4 lines>");
    }
};

TEST_F(CreateBackupTest, FullUpdateBacksUpWhatTheUpdateReplacesAndDescribesIt) {
    MakeInstallation();
    FullUpdate();
    Step("CreateBackup");

    // Contents: exactly these, byte for byte.
    auto backup = Snapshot(kBackup);
    const auto install = Snapshot(kInstall);
    std::vector<std::wstring> expected = {
        L"CorvaneZideroZUR.exe", L"CorvaneCore.dll",   L"sqlite3.dll",
        L"version.json",         L"web_resources.res", L"masaustu",
        L"masaustu\\index.html", L"masaustu\\assets",  L"masaustu\\assets\\app.js",
        L"backup.info"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(backup), expected);
    for (const auto& [rel, bytes] : backup)
        if (rel != L"backup.info") {
            EXPECT_EQ(bytes, install.at(rel)) << std::string(rel.begin(), rel.end());
        }

    // backup.info, byte by byte.
    const auto lines = InfoLines(backup.at(L"backup.info"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex("TARIH=\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}")))
        << lines[0];
    EXPECT_EQ(lines[0].substr(6, 10), Today());
    EXPECT_EQ(lines[1], "MOD=TamGuncelleme");
    EXPECT_EQ(lines[2], "INSTALL_DIR=D:\\CorvaneZideroZur");
    EXPECT_EQ(lines[3], "BOYUT=" + std::to_string(CountedSize()));

    // What the wizard reads back.
    std::wstring tarih;
    int64_t boyut = 0;
    ASSERT_TRUE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, std::wstring(lines[0].begin() + 6, lines[0].end()));
    EXPECT_EQ(boyut, CountedSize());
    EXPECT_TRUE(engine->BackupExists());
    EXPECT_TRUE(TSetupEngineTestAccess::BackupCreated(*engine));
    EXPECT_EQ(TSetupEngineTestAccess::BackupDirField(*engine), kBackup);

    // The log, with the two libraries in the order the folder listed them.
    TLines logs = Logs();
    ASSERT_EQ(logs.size(), 9u) << LogText();
    std::sort(logs.begin() + 3, logs.begin() + 5);
    EXPECT_EQ(logs, (TLines{L"[1.5/14] Yedek olusturuluyor...",
                            L"  [TAM GUNCELLEME] Yedeklenen: exe + masaustu + dll + version.json",
                            L"  [yedek] CorvaneZideroZUR.exe", L"  [yedek] CorvaneCore.dll",
                            L"  [yedek] sqlite3.dll", L"  [yedek] version.json",
                            L"  [yedek] web_resources.res", L"  [yedek] masaustu/ klasoru",
                            L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek (1 MB)"}));
    EXPECT_EQ(journal.Count(L"sleep|"), 0) << "no previous backup, no wait";
}

TEST_F(CreateBackupTest, FileUpdateBacksUpOnlyTheTillProgram) {
    MakeInstallation();
    FileUpdate();
    Step("CreateBackup");
    EXPECT_EQ(Names(Snapshot(kBackup)), (TLines{L"CorvaneZideroZUR.exe", L"backup.info"}));
    EXPECT_EQ(FileBytes(kBackup + L"\\CorvaneZideroZUR.exe"),
              FileBytes(kInstall + L"\\CorvaneZideroZUR.exe"));
    const auto lines = InfoLines(FileBytes(kInfo));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "MOD=DosyaGuncelleme");
    EXPECT_EQ(lines[3], "BOYUT=" + std::to_string(1536 * 1024 + 3));
    EXPECT_EQ(Logs(), (TLines{L"[1.5/14] Yedek olusturuluyor...",
                              L"  [DOSYA GUNCELLEME] Yedeklenen: CorvaneZideroZUR.exe",
                              L"  [yedek] CorvaneZideroZUR.exe",
                              L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek (1 MB)"}));
}

TEST_F(CreateBackupTest, InstallDirWithTurkishLettersIsWrittenAsUtf8) {
    const std::wstring dir = kInstall + L"\\\u015Eube \u00C7\u0131k\u0131\u015F";
    MakeDirs(dir);
    Put(dir + L"\\CorvaneZideroZUR.exe", "exe");
    engine->SetInstallDir(dir);
    FileUpdate();
    Step("CreateBackup");
    const auto lines = InfoLines(FileBytes(kInfo));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "INSTALL_DIR=D:\\CorvaneZideroZur\\\xC5\x9E"
                        "ube \xC3\x87\xC4\xB1k\xC4\xB1\xC5\x9F");
}

TEST_F(CreateBackupTest, PreviousBackupIsReplacedWholeOnlyOnceTheNewOneIsComplete) {
    MakePreviousBackup();
    MakeInstallation("2.0");
    FullUpdate();
    Step("CreateBackup");
    const auto backup = Snapshot(kBackup);
    EXPECT_EQ(backup.count(L"eski.dll"), 0u) << "nothing of the old backup stays";
    EXPECT_EQ(backup.count(L"masaustu\\old.html"), 0u);
    EXPECT_EQ(backup.at(L"CorvaneZideroZUR.exe"), FileBytes(kInstall + L"\\CorvaneZideroZUR.exe"));
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki"))
        << "the old backup is gone once the new one is";
    const auto entries = journal.Entries();
    const auto at = std::find(entries.begin(), entries.end(),
                              L"log|  Onceki yedek temizleniyor: D:\\CorvaneUpdateYedek");
    ASSERT_NE(at, entries.end()) << LogText();
    ASSERT_EQ(at - entries.begin(), 1) << "right after the header";
    EXPECT_EQ(*(at + 1), L"sleep|500");
    EXPECT_EQ(*(at + 2), L"log|  [TAM GUNCELLEME] Yedeklenen: exe + masaustu + dll + version.json");
    EXPECT_EQ(InfoBoyut(), "BOYUT=" + std::to_string(CountedSize())) << "old files not counted";
}

TEST_F(CreateBackupTest, FailedBackupPutsThePreviousOneBack) {
    MakePreviousBackup();
    const auto before = Snapshot(kBackup);
    FileUpdate(); // and no till program installed
    EXPECT_EQ(StepError("CreateBackup"), L"Yedeklenecek CorvaneZideroZUR.exe bulunamadi: "
                                         L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe");
    EXPECT_EQ(Snapshot(kBackup), before);
    EXPECT_TRUE(engine->BackupExists());
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki"));
    EXPECT_FALSE(TSetupEngineTestAccess::BackupCreated(*engine));
    EXPECT_TRUE(Logged(L"  Onceki yedek geri konuldu: D:\\CorvaneUpdateYedek")) << LogText();
    std::wstring tarih;
    int64_t boyut = 0;
    ASSERT_TRUE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, L"2020-01-02 03:04:05");
    EXPECT_EQ(boyut, 42);
}

TEST_F(CreateBackupTest, FailedFirstBackupLeavesNoBackupToRestore) {
    FileUpdate();
    StepError("CreateBackup");
    EXPECT_TRUE(DirectoryExists(kBackup));
    EXPECT_FALSE(FileExists(kInfo));
    EXPECT_FALSE(engine->BackupExists());
    EXPECT_EQ(Logs(), (TLines{L"[1.5/14] Yedek olusturuluyor...",
                              L"  [DOSYA GUNCELLEME] Yedeklenen: CorvaneZideroZUR.exe"}));
}

TEST_F(CreateBackupTest, MissingInstallationIsNotBackedUpOverAGoodBackup) {
    MakePreviousBackup();
    const auto before = Snapshot(kBackup);
    RemoveTree(kInstall);
    FullUpdate();
    EXPECT_EQ(StepError("CreateBackup"), L"Kurulum dizini bulunamadi: D:\\CorvaneZideroZur");
    EXPECT_EQ(Snapshot(kBackup), before);
    engine->SetInstallDir(L"");
    EXPECT_EQ(StepError("CreateBackup"), L"Kurulum dizini bulunamadi: ");
}

TEST_F(CreateBackupTest, EmptyInstallationFolderGivesAnEmptyBackup) {
    FullUpdate();
    Step("CreateBackup");
    EXPECT_EQ(Names(Snapshot(kBackup)), (TLines{L"backup.info"}));
    EXPECT_EQ(InfoBoyut(), "BOYUT=0");
    EXPECT_TRUE(Logged(L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek (0 MB)"));
}

TEST_F(CreateBackupTest, LockedLibraryIsReportedLeftOutAndNotCounted) {
    MakeInstallation();
    FullUpdate();
    const int64_t all = CountedSize();
    const int64_t sqlite = SizeOfString(FileBytes(kInstall + L"\\sqlite3.dll"));
    TLockedFile lock(kInstall + L"\\sqlite3.dll");
    ASSERT_TRUE(lock.Locked());
    Step("CreateBackup");
    EXPECT_TRUE(Logged(L"  ! sqlite3.dll yedeklenemedi: " + SharingViolationText())) << LogText();
    EXPECT_FALSE(FileExists(kBackup + L"\\sqlite3.dll"));
    EXPECT_TRUE(FileExists(kBackup + L"\\CorvaneCore.dll"));
    EXPECT_EQ(InfoBoyut(), "BOYUT=" + std::to_string(all - sqlite));
    EXPECT_TRUE(TSetupEngineTestAccess::BackupCreated(*engine));
}

TEST_F(CreateBackupTest, LockedSmallFilesAreReportedAndTheBackupGoesOn) {
    MakeInstallation();
    FullUpdate();
    // Measured before the locks: a locked file cannot be read by the test either.
    const int64_t expected =
        CountedSize() - SizeOfString(FileBytes(kInstall + L"\\masaustu\\index.html"));
    TLockedFile versionLock(kInstall + L"\\version.json");
    TLockedFile resLock(kInstall + L"\\web_resources.res");
    TLockedFile pageLock(kInstall + L"\\masaustu\\index.html");
    Step("CreateBackup");
    const std::wstring why = SharingViolationText();
    EXPECT_TRUE(Logged(L"  ! version.json yedeklenemedi: " + why)) << LogText();
    EXPECT_TRUE(Logged(L"  ! web_resources.res yedeklenemedi: " + why)) << LogText();
    EXPECT_TRUE(Logged(L"    ! index.html: " + why)) << LogText();
    EXPECT_FALSE(Logged(L"  [yedek] version.json"));
    EXPECT_TRUE(FileExists(kBackup + L"\\masaustu\\assets\\app.js"));
    EXPECT_TRUE(engine->BackupExists());
    // The desktop folder counts as copied.
    EXPECT_EQ(InfoBoyut(), "BOYUT=" + std::to_string(expected));
}

TEST_F(CreateBackupTest, LockedTillProgramFailsTheBackupAndKeepsThePreviousOne) {
    MakePreviousBackup();
    const auto before = Snapshot(kBackup);
    MakeInstallation();
    TLockedFile lock(kInstall + L"\\CorvaneZideroZUR.exe");
    for (bool full : {true, false}) {
        TSetupEngineTestAccess::SetUpdateMode(*engine, true, full);
        EXPECT_EQ(StepError("CreateBackup"),
                  L"CorvaneZideroZUR.exe yedeklenemedi: " + SharingViolationText());
        EXPECT_EQ(Snapshot(kBackup), before);
    }
}

TEST_F(CreateBackupTest, OnlyRealTopLevelLibrariesAreBackedUp) {
    MakeInstallation();
    Put(kInstall + L"\\eklenti.dll\\icerik.txt", "a folder, not a library");
    Put(kInstall + L"\\masaustu\\ic.dll", "inside the desktop tree, copied with it");
    Put(kInstall + L"\\BUYUK.DLL", "capital letters");
    FullUpdate();
    Step("CreateBackup");
    EXPECT_FALSE(DirectoryExists(kBackup + L"\\eklenti.dll"));
    EXPECT_TRUE(FileExists(kBackup + L"\\BUYUK.DLL"));
    EXPECT_TRUE(FileExists(kBackup + L"\\masaustu\\ic.dll"));
    EXPECT_FALSE(FileExists(kBackup + L"\\ic.dll"));
    for (const auto& line : Logs())
        EXPECT_EQ(line.find(L"eklenti"), std::wstring::npos) << "no warning for a folder";
}

TEST_F(CreateBackupTest, InterruptedBackupIsRecoveredFromWhereItWasSetAside) {
    // A run that ended while taking its backup: the complete previous backup waits aside, an
    // incomplete one sits in the backup folder.
    MakePreviousBackup();
    const auto previous = Snapshot(kBackup);
    ASSERT_TRUE(MoveFileExW(kBackup.c_str(), (kBackup + L".onceki").c_str(), 0));
    Put(kBackup + L"\\CorvaneZideroZUR.exe", "half a backup");
    FileUpdate(); // fails: no till program installed
    StepError("CreateBackup");
    EXPECT_EQ(Snapshot(kBackup), previous);
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki"));
}

// What the new backup of MakeInstallation() holds, whatever folder it is in.
void ExpectFreshBackup(const std::wstring& dir) {
    const auto snap = Snapshot(dir);
    EXPECT_EQ(snap.count(L"eski.dll") + snap.count(L"masaustu\\old.html") + snap.count(L"held.dll"),
              0u)
        << "never mixed with an older backup";
    EXPECT_EQ(snap.at(L"CorvaneCore.dll"), FileBytes(kInstall + L"\\CorvaneCore.dll"));
    EXPECT_EQ(snap.at(L"masaustu\\index.html"), FileBytes(kInstall + L"\\masaustu\\index.html"));
}

TEST_F(CreateBackupTest, LeftoverThatCannotBeClearedFromWhereThePreviousBackupGoesIsAWarning) {
    MakePreviousBackup();
    // What an interrupted run left aside cannot be cleared: a file in it is held open.
    Put(kBackup + L".onceki\\held.dll", "x");
    auto held = std::make_unique<TLockedFile>(kBackup + L".onceki\\held.dll");
    MakeInstallation();
    FullUpdate();
    for (int update = 1; update <= 2; ++update) {
        journal.Clear();
        Step("CreateBackup");
        ExpectFreshBackup(kBackup);
        EXPECT_TRUE(engine->BackupExists());
        EXPECT_FALSE(DirectoryExists(kBackup + L".yeni"));
        const auto logs = Logs();
        ASSERT_GE(logs.size(), 3u) << LogText();
        EXPECT_EQ(logs[1], L"  Onceki yedek temizleniyor: D:\\CorvaneUpdateYedek");
        EXPECT_EQ(logs[2], L"  Uyari: Onceki yedek silinemedi: D:\\CorvaneUpdateYedek.onceki");
        EXPECT_EQ(logs.back().rfind(L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek (", 0), 0u);
    }
    held.reset();
    Step("CreateBackup");
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki")) << "cleared once it can be";
}

TEST_F(CreateBackupTest, PreviousBackupThatCannotBeMovedOrDeletedNeverFailsTheUpdate) {
    MakePreviousBackup();
    auto open = std::make_unique<TLockedFile>(kBackup + L"\\masaustu\\old.html");
    TRefusedMoves refused({kBackup});
    MakeInstallation();
    FullUpdate();
    Step("CreateBackup");
    EXPECT_EQ(journal.Only(L"sleep|"), (TLines{L"500", L"500"})) << "three tries at moving it";
    EXPECT_TRUE(
        Logged(L"  Uyari: Onceki yedek silinemedi: " + SysErrorMessage(ERROR_ACCESS_DENIED)))
        << LogText();
    EXPECT_TRUE(Logged(L"  Uyari: Onceki yedek silinemedi: D:\\CorvaneUpdateYedek"));
    // The new backup waits complete beside what is left of the old one, and is the one found.
    ExpectFreshBackup(kBackup + L".yeni");
    EXPECT_TRUE(Logged(L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek.yeni (1 MB)")) << LogText();
    EXPECT_FALSE(FileExists(kInfo)) << "the old backup's description went first";
    std::wstring tarih;
    int64_t boyut = 0;
    ASSERT_TRUE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_NE(tarih, L"2020-01-02 03:04:05");

    // Once the file is closed, the next look at the store puts the new backup in its place, and
    // the next update goes the usual way.
    open.reset();
    EXPECT_TRUE(engine->BackupExists());
    EXPECT_FALSE(DirectoryExists(kBackup + L".yeni"));
    ExpectFreshBackup(kBackup);
    journal.Clear();
    Step("CreateBackup");
    ExpectFreshBackup(kBackup);
    EXPECT_TRUE(Logged(L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek (1 MB)")) << LogText();
}

TEST_F(CreateBackupTest, BackupLeftAsideByACutOffUpdateIsOfferedAgain) {
    // Cut off after the previous backup was set aside: a part of the new one in its place.
    MakePreviousBackup();
    const auto previous = Snapshot(kBackup);
    ASSERT_TRUE(MoveFileExW(kBackup.c_str(), (kBackup + L".onceki").c_str(), 0));
    Put(kBackup + L"\\CorvaneZideroZUR.exe", "half a backup");
    std::wstring tarih;
    int64_t boyut = 0;
    ASSERT_TRUE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, L"2020-01-02 03:04:05");
    EXPECT_TRUE(engine->BackupExists());
    EXPECT_EQ(Snapshot(kBackup), previous);
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki"));
}

TEST_F(CreateBackupTest, StaleSetAsideFolderIsCleared) {
    MakePreviousBackup();
    Put(kBackup + L".onceki\\backup.info", "TARIH=older\r\n");
    Put(kBackup + L".onceki\\stale.dll", "x");
    MakeInstallation();
    FullUpdate();
    Step("CreateBackup");
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki"));
    EXPECT_FALSE(FileExists(kBackup + L"\\stale.dll"));
    EXPECT_FALSE(FileExists(kBackup + L"\\eski.dll"));
    EXPECT_TRUE(FileExists(kBackup + L"\\CorvaneCore.dll"));
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// What survives a power cut and which backup wins

// The renames of the store, with whether the previous backup still existed at that moment.
struct TMoveSpy {
    static std::vector<std::wstring>& Moves() {
        static std::vector<std::wstring> moves;
        return moves;
    }
    TMoveSpy() {
        Moves().clear();
        vpfnMoveFileExW = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            Moves().push_back(std::wstring(from) + L">" + to + L"|" + std::to_wstring(flags) +
                              (DirectoryExists(kBackup + L".onceki") ? L"|previous there" : L""));
            return MoveFileExW(from, to, flags);
        };
    }
    ~TMoveSpy() { ResetWin32Seam(); }
};

TEST_F(CreateBackupTest, BackupInfoIsMovedInWrittenThroughBeforeThePreviousBackupGoes) {
    MakePreviousBackup();
    MakeInstallation("2.0");
    FullUpdate();
    TMoveSpy spy;
    Step("CreateBackup");
    const DWORD through = MOVEFILE_WRITE_THROUGH;
    const DWORD replace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    // Taken beside the previous one, described, then put in its place once that is gone.
    const std::wstring fresh = kBackup + L".yeni";
    EXPECT_EQ(TMoveSpy::Moves(),
              (TLines{kBackup + L">" + kBackup + L".onceki|" + std::to_wstring(through),
                      fresh + L"\\backup.info.yaziliyor>" + fresh + L"\\backup.info|" +
                          std::to_wstring(replace) + L"|previous there",
                      fresh + L">" + kBackup + L"|" + std::to_wstring(through)}));
    EXPECT_FALSE(DirectoryExists(kBackup + L".onceki"));
    EXPECT_FALSE(FileExists(kBackup + L"\\backup.info.yaziliyor"));
    EXPECT_EQ(InfoLines(FileBytes(kInfo)).size(), 4u);
}

TEST_F(CreateBackupTest, NewestCompleteBackupWinsWhateverItsFolder) {
    // A newer backup in its place, and an older one half deleted beside it with its
    // backup.info left.
    MakePreviousBackup();
    Put(kInfo, "\xEF\xBB\xBFTARIH=2026-05-10 22:49:05\r\nMOD=TamGuncelleme\r\n"
               "INSTALL_DIR=D:\\CorvaneZideroZur\r\nBOYUT=42\r\n");
    const auto newer = Snapshot(kBackup);
    Put(kBackup + L".yeni\\backup.info", "TARIH=2025-12-31 23.59.59\r\nBOYUT=7\r\n");
    Put(kBackup + L".yeni\\CorvaneZideroZUR.exe", "half of an older backup");
    std::wstring tarih;
    int64_t boyut = 0;
    ASSERT_TRUE(engine->BackupExists());
    ASSERT_TRUE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, L"2026-05-10 22:49:05");
    EXPECT_EQ(Snapshot(kBackup), newer);
    // The same backup in the side folder, newer there: it takes the place.
    Put(kBackup + L".yeni\\backup.info", "TARIH=2027-01-01 00:00:00\r\nBOYUT=7\r\n");
    ASSERT_TRUE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(tarih, L"2027-01-01 00:00:00");
    EXPECT_EQ(FileBytes(kBackup + L"\\CorvaneZideroZUR.exe"), "half of an older backup");
    EXPECT_FALSE(DirectoryExists(kBackup + L".yeni"));
}

TEST_F(CreateBackupTest, PreviousBackupWhoseInfoCannotBeDeletedStaysWholeAndLoses) {
    MakePreviousBackup();
    const auto previous = Snapshot(kBackup);
    MakeInstallation("2.0");
    FullUpdate();
    // Once set aside, its backup.info is held open (a scanner): it cannot be deleted.
    static std::unique_ptr<TLockedFile> held;
    vpfnMoveFileExW = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        const BOOL moved = MoveFileExW(from, to, flags);
        if (moved && std::wstring(to) == kBackup + L".onceki")
            held = std::make_unique<TLockedFile>(kBackup + L".onceki\\backup.info");
        return moved;
    };
    Step("CreateBackup");
    ResetWin32Seam();
    ASSERT_TRUE(held && held->Locked());
    EXPECT_TRUE(Logged(L"  Uyari: Onceki yedek silinemedi: D:\\CorvaneUpdateYedek.onceki"))
        << LogText();
    held.reset();
    EXPECT_EQ(Snapshot(kBackup + L".onceki"), previous) << "nothing deleted before backup.info";
    ExpectFreshBackup(kBackup);
    EXPECT_TRUE(engine->BackupExists());
    ExpectFreshBackup(kBackup);
}

TEST_F(CreateBackupTest, BackupOfAnInterruptedUpdateIsKept) {
    MakePreviousBackup();
    Put(kBackup + L"\\guncelleme.suruyor", "x");
    const auto kept = Snapshot(kBackup);
    MakeInstallation("half 2.0");
    EXPECT_TRUE(engine->UpdateInterrupted());
    FileUpdate();
    Step("CreateBackup");
    EXPECT_EQ(Snapshot(kBackup), kept);
    EXPECT_EQ(Logs(), (TLines{L"[1.5/14] Yedek olusturuluyor...",
                              L"  Yarim kalan guncellemenin yedegi korunuyor: "
                              L"D:\\CorvaneUpdateYedek"}));
    EXPECT_TRUE(TSetupEngineTestAccess::BackupCreated(*engine));
    // A file update's backup holds the till program only: not enough for a full update.
    Put(kInfo, "TARIH=2020-01-02 03:04:05\r\nMOD=DosyaGuncelleme\r\nBOYUT=1\r\n");
    FullUpdate();
    EXPECT_EQ(StepError("CreateBackup").rfind(L"Yarim kalan dosya guncellemesi var", 0), 0u);
    EXPECT_TRUE(FileExists(kBackup + L"\\eski.dll"));
}

} // namespace
