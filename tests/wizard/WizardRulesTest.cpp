// Rules of the wizard that need no window: version text, drive preselection, info lines and the
// finish texts of every mode.
#include <gtest/gtest.h>

#include "uWizardRules.h"

using namespace WizardRules;

TEST(RulesVersion, TakenFromTheLastHyphenOfTheFileName) {
    const struct {
        const wchar_t* exe;
        const wchar_t* version;
    } cases[] = {
        {L"C:\\dl\\setup-2.4.1.exe", L"2.4.1"},
        {L"C:\\dl\\setup-beta.exe", L""},
        {L"C:\\dl\\setup-.exe", L""},
        {L"C:\\dl\\setup.exe", L""},
        {L"C:\\dl\\setup-x-3.0.exe", L"3.0"},
        {L"setup-2.4.1.exe", L"2.4.1"},
        // The folder never counts, only the last extension goes.
        {L"C:\\v-9\\setup.exe", L""},
        {L"C:\\dl\\setup-1.2.3.tar.exe", L"1.2.3.tar"},
        {L"C:\\dl\\setup-7", L"7"},
        // Only an ASCII digit starts a version.
        {L"C:\\dl\\setup-\u0663.0.exe", L""},
        {L"C:\\dl\\CorvaneMarketUpdate-1.2.exe", L"1.2"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VersionFromExeName(c.exe), c.version)
            << testing::PrintToString(std::wstring(c.exe));
}

static std::vector<TDriveItem> Drives(const wchar_t* letters, const wchar_t* withFolder = L"") {
    std::vector<TDriveItem> drives;
    for (const wchar_t* p = letters; *p; ++p)
        drives.push_back({*p, std::wstring(withFolder).find(*p) != std::wstring::npos});
    return drives;
}

TEST(RulesPreselection, DThenCThenEThenTheFirst) {
    EXPECT_EQ(PreselectDrive(Drives(L"CD"), false), 1);
    EXPECT_EQ(PreselectDrive(Drives(L"CE"), false), 0);
    EXPECT_EQ(PreselectDrive(Drives(L"EF"), false), 0);
    EXPECT_EQ(PreselectDrive(Drives(L"FG"), false), 0);
    EXPECT_EQ(PreselectDrive(Drives(L"FGE"), false), 2);
    EXPECT_EQ(PreselectDrive(Drives(L"CDE"), false), 1);
    EXPECT_EQ(PreselectDrive(Drives(L"D"), false), 0);
    EXPECT_EQ(PreselectDrive(Drives(L""), false), -1);
}

TEST(RulesPreselection, UpdateTakesTheLastDriveWithAnInstallation) {
    EXPECT_EQ(PreselectDrive(Drives(L"CDE", L"CE"), true), 2);
    EXPECT_EQ(PreselectDrive(Drives(L"CDE", L"C"), true), 0);
    EXPECT_EQ(PreselectDrive(Drives(L"CDE", L""), true), 1);
    // A new installation ignores existing folders.
    EXPECT_EQ(PreselectDrive(Drives(L"CDE", L"CE"), false), 1);
}

TEST(RulesInfoLines, FreeSpaceInWholeMegabytesOrTheTargetAlone) {
    EXPECT_EQ(DriveInfoText(L"D:", uint64_t(51200) * 1048576),
              L"Boş alan: 51200 MB  |  Hedef: D:\\CorvaneZideroZur");
    EXPECT_EQ(DriveInfoText(L"C:", uint64_t(1048575)),
              L"Boş alan: 0 MB  |  Hedef: C:\\CorvaneZideroZur");
    // Above 4 GiB megabytes: 64-bit arithmetic throughout.
    EXPECT_EQ(DriveInfoText(L"E:", uint64_t(5000000) * 1048576 + 1048575),
              L"Boş alan: 5000000 MB  |  Hedef: E:\\CorvaneZideroZur");
    EXPECT_EQ(DriveInfoText(L"D:", std::nullopt), L"Hedef: D:\\CorvaneZideroZur");
    EXPECT_EQ(DbDriveInfoText(L"D:"),
              L"D:\\CorvaneOrtakData\\mariadb  |  D:\\CorvaneOrtakData\\Data");
    // Past 4 GiB without overflow; an empty payload is done.
    EXPECT_EQ(ExtractProgressText(uint64_t(3000) * 1048576, uint64_t(6000) * 1048576),
              L"Dosyalar çıkarılıyor... %50 (3000 / 6000 MB)");
    EXPECT_EQ(ExtractProgressText(0, 0), L"Dosyalar çıkarılıyor... %100 (0 / 0 MB)");
}

TEST(RulesFinishTexts, FirstRuleThatAppliesWins) {
    TFinishState s;
    s.InstallTitle = L"Kuruluyor...";
    s.InstallDir = L"D:\\CorvaneZideroZur";
    s.OrtakDataDir = L"E:\\CorvaneOrtakData";

    TFinishTexts t = FinishTexts(s);
    EXPECT_FALSE(t.Title);
    EXPECT_EQ(t.Desc,
              L"CorvaneZideroZur başarıyla kuruldu!\r\n\r\nKurulum klasörü: "
              L"D:\\CorvaneZideroZur\r\nVeritabanı: E:\\CorvaneOrtakData\r\nMariaDB Port: 3307");

    s.DbOnly = true;
    t = FinishTexts(s);
    EXPECT_FALSE(t.Title);
    EXPECT_EQ(t.Desc,
              L"CorvaneDB başarıyla kuruldu!\r\n\r\nVeritabanı klasörü: E:\\CorvaneOrtakData"
              L"\r\nMariaDB Port: 3307\r\nServis Adı: CorvaneDB");

    s.IsUpdateInstall = true; // the update rules come before database-only
    t = FinishTexts(s);
    EXPECT_EQ(t.Desc, L"CorvaneZideroZUR.exe başarıyla güncellendi!");

    s.IsFullUpdate = true;
    t = FinishTexts(s);
    EXPECT_FALSE(t.Title);
    EXPECT_EQ(t.Desc, L"Corvane Market Pos başarıyla güncellendi!\r\n\r\nTüm dosyalar güncellendi. "
                      L"Veritabanınız korundu.");

    // A full-update flag without the update flag is not an update.
    s.IsUpdateInstall = false;
    s.DbOnly = false;
    EXPECT_EQ(FinishTexts(s).Desc.substr(0, 35), L"CorvaneZideroZur başarıyla kuruldu!");
}

TEST(RulesFinishTexts, RestoreRecognisedByTheTitleInAnyAsciiCase) {
    TFinishState s;
    s.IsUpdateInstall = true;
    s.IsFullUpdate = true;
    for (const wchar_t* title : {L"Geri Yukleme", L"GERI YUKLEME", L"geri yukleme"}) {
        s.InstallTitle = title;
        const TFinishTexts t = FinishTexts(s);
        ASSERT_TRUE(t.Title) << testing::PrintToString(std::wstring(title));
        EXPECT_EQ(*t.Title, L"Geri Yükleme Tamamlandı!");
        EXPECT_EQ(t.Desc, L"Corvane Market Pos onceki sürüme başarıyla geri yüklendi.\r\n\r\n"
                          L"Veritabani ve satış verileriniz korundu.");
    }
    // Near misses are not a restore.
    for (const wchar_t* title : {L"Geri Yükleme", L"Geri Yukleme ", L"Geri"}) {
        s.InstallTitle = title;
        EXPECT_FALSE(FinishTexts(s).Title) << testing::PrintToString(std::wstring(title));
    }
}

TEST(RulesInstalledFolder, RecordedFolderFirstThenTheLastDriveHoldingOne) {
    const std::vector<TDriveItem> dAndE = {{L'C', false}, {L'D', true}, {L'E', true}};
    EXPECT_EQ(InstalledFolder(L"F:\\Pos", true, dAndE), L"F:\\Pos");
    EXPECT_EQ(InstalledFolder(L"F:\\Pos", false, dAndE), L"E:\\CorvaneZideroZur");
    EXPECT_EQ(InstalledFolder(L"", false, dAndE), L"E:\\CorvaneZideroZur");
    EXPECT_EQ(InstalledFolder(L"", false, {{L'C', true}, {L'D', false}}), L"C:\\CorvaneZideroZur");
    EXPECT_EQ(InstalledFolder(L"", false, {{L'C', false}, {L'D', false}}), L"");
    EXPECT_EQ(InstalledFolder(L"", false, {}), L"");
}

TEST(RulesInstalledFolder, OnlyAFullLocalPathBelowARootIsTakenFromTheEntry) {
    const struct {
        const wchar_t* recorded;
        const wchar_t* taken;
    } cases[] = {
        {L"E:\\CorvaneZideroZur", L"E:\\CorvaneZideroZur"},
        {L"E:\\CorvaneZideroZur\\", L"E:\\CorvaneZideroZur"},
        {L"d:\\Magaza\\Pos\\\\", L"d:\\Magaza\\Pos"},
        {L"C:\\", L""},
        {L"C:", L""},
        {L"CorvaneZideroZur", L""},
        {L"\\CorvaneZideroZur", L""},
        {L"C:CorvaneZideroZur", L""},
        {L"\\\\server\\share\\CorvaneZideroZur", L""},
        {L"C:\\Pos\\..\\Windows", L""},
        {L"C:\\.\\Pos", L""},
        {L"C:\\Pos\\\\Alt", L""},
        {L"C:\\Pos:stream", L""},
        {L"1:\\Pos", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CleanInstallLocation(c.recorded), c.taken) << testing::PrintToString(c.recorded);
}

TEST(RulesRestoreTexts, BackupLineAndQuestionInWholeMegabytes) {
    EXPECT_EQ(BackupLine(L"2026-05-17 00:06:04", 32182272),
              L"Yedek mevcut: 2026-05-17 00:06:04 (30 MB)");
    EXPECT_EQ(BackupLine(L"2026-05-17 00:06:04", 1048575),
              L"Yedek mevcut: 2026-05-17 00:06:04 (0 MB)");
    EXPECT_EQ(BackupLine(L"", 1048576), L"Yedek mevcut:  (1 MB)");
    const std::wstring q = RestoreQuestion(L"2026-05-17 00:06:04", 5 * 1048576 - 1, L"E:\\Y");
    EXPECT_NE(q.find(L"\r\nYedek boyutu: 4 MB\r\nYedek konumu: E:\\Y\r\n"), std::wstring::npos);
    EXPECT_NE(q.back(), L'\n');
}
