// Settings page: the drive lists and their preselection, the lines under them, the warning line,
// the installation type, the checks of "Kur" and the options handed to the engine.
#include "WizardTestSupport.h"

class SettingsTest : public TWizardTest {
protected:
    void UseDrives(std::map<wchar_t, UINT> drives) { Sys.Drives = std::move(drives); }
    std::vector<std::wstring> DriveItems() { return Items(C(L"cbDrive")); }
};

TEST_F(SettingsTest, DrivesCAndDPreselectD) {
    ASSERT_TRUE(Open());
    EXPECT_EQ(Items(C(L"cbDrive")), (std::vector<std::wstring>{L"C:", L"D:"}));
    EXPECT_EQ(Items(C(L"cbDbDrive")), (std::vector<std::wstring>{L"C:", L"D:"}));
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"D:");
    EXPECT_EQ(SelectedItem(C(L"cbDbDrive")), L"D:");
    EXPECT_EQ(Sys.Engine().InstallDir(), L"D:\\CorvaneZideroZur");
    EXPECT_EQ(Sys.Engine().DbDrive(), L"D");
    EXPECT_EQ(Text(C(L"lblDriveInfo")), L"Boş alan: 51200 MB  |  Hedef: D:\\CorvaneZideroZur");
    EXPECT_EQ(Text(C(L"lblDbDriveInfo")),
              L"D:\\CorvaneOrtakData\\mariadb  |  D:\\CorvaneOrtakData\\Data");
}

TEST_F(SettingsTest, PreselectionWithoutD) {
    const struct {
        std::map<wchar_t, UINT> drives;
        const wchar_t* selected;
    } cases[] = {
        {{{L'C', DRIVE_FIXED}, {L'E', DRIVE_FIXED}}, L"C:"},
        {{{L'E', DRIVE_FIXED}, {L'F', DRIVE_FIXED}}, L"E:"},
        {{{L'F', DRIVE_FIXED}, {L'G', DRIVE_FIXED}}, L"F:"},
    };
    for (const auto& c : cases) {
        UseDrives(c.drives);
        ASSERT_TRUE(Open());
        EXPECT_EQ(SelectedItem(C(L"cbDrive")), c.selected);
        EXPECT_EQ(SelectedItem(C(L"cbDbDrive")), c.selected);
        EXPECT_EQ(Sys.Engine().InstallDir(), std::wstring(c.selected) + L"\\CorvaneZideroZur");
        EXPECT_EQ(Sys.Engine().DbDrive(), std::wstring(c.selected, 1));
        Destroy();
    }
}

TEST_F(SettingsTest, OnlyFixedDrivesFromCToZAreOffered) {
    UseDrives({{L'A', DRIVE_FIXED},
               {L'B', DRIVE_FIXED},
               {L'C', DRIVE_FIXED},
               {L'D', DRIVE_REMOVABLE},
               {L'E', DRIVE_REMOTE},
               {L'F', DRIVE_CDROM},
               {L'G', DRIVE_RAMDISK},
               {L'H', DRIVE_FIXED},
               {L'Z', DRIVE_FIXED}});
    ASSERT_TRUE(Open());
    EXPECT_EQ(DriveItems(), (std::vector<std::wstring>{L"C:", L"H:", L"Z:"}));
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"C:");
}

TEST_F(SettingsTest, UpdateFilePreselectsTheLastDriveWithAnInstallation) {
    TTempDir onC(L"C:\\CorvaneZideroZur");
    TTempDir onE(L"E:\\CorvaneZideroZur");
    UseDrives({{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}, {L'E', DRIVE_FIXED}});
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"E:");
    EXPECT_EQ(SelectedItem(C(L"cbDbDrive")), L"E:");
    EXPECT_EQ(Sys.Engine().InstallDir(), L"E:\\CorvaneZideroZur");
    Destroy();

    // A new installation ignores the folders.
    Sys.Exe = L"C:\\dl\\CorvaneMarketSetup.exe";
    ASSERT_TRUE(Open());
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"D:");
}

TEST_F(SettingsTest, UpdateFileWithoutAnInstallationKeepsTheUsualPreference) {
    UseDrives({{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}, {L'E', DRIVE_FIXED}});
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"D:");
}

TEST_F(SettingsTest, FailedFreeSpaceQueryShowsTheTargetAlone) {
    Sys.Free[L'D'] = std::nullopt;
    ASSERT_TRUE(Open());
    EXPECT_EQ(Text(C(L"lblDriveInfo")), L"Hedef: D:\\CorvaneZideroZur");
}

TEST_F(SettingsTest, FreeSpaceOfTheRealDrive) {
    Sys.RealDrives = true; // C:, D: and E: of the test's Wine prefix
    ASSERT_TRUE(Open());
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"D:");
    ULARGE_INTEGER freeToCaller = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"D:\\", &freeToCaller, nullptr, nullptr));
    // Within a few megabytes: the disk is shared with whatever else runs.
    const std::wstring line = Text(C(L"lblDriveInfo"));
    ASSERT_EQ(line.rfind(L"Boş alan: ", 0), 0u) << testing::PrintToString(line);
    const long long shown = std::stoll(line.substr(10));
    EXPECT_NEAR(double(shown), double(freeToCaller.QuadPart / 1048576), 64.0);
}

TEST_F(SettingsTest, NoFixedDriveLeavesEverythingEmptyAndKurAsksForADrive) {
    UseDrives({{L'E', DRIVE_REMOVABLE}});
    ASSERT_TRUE(Open());
    EXPECT_TRUE(DriveItems().empty());
    EXPECT_TRUE(Items(C(L"cbDbDrive")).empty());
    EXPECT_EQ(Text(C(L"lblDriveInfo")), L"...");
    EXPECT_EQ(Text(C(L"lblDbDriveInfo")), L"...");
    EXPECT_EQ(Text(C(L"lblUpdateWarn")), L"...");
    EXPECT_EQ(Sys.Engine().InstallDir(), L"");
    GoToSettings();
    PressKur();
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Text, L"Lütfen bir disk seçin!");
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(Sys.Boxes[0].Owner, Form->Handle());
    EXPECT_TRUE(Shown(C(L"tsSettings")));
    EXPECT_FALSE(Sys.Engine().IsRunning());
}

TEST_F(SettingsTest, PickingEMovesTheDatabaseDrivePickingCForTheDatabaseDoesNot) {
    UseDrives({{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}, {L'E', DRIVE_FIXED}});
    Sys.Free[L'E'] = uint64_t(777) * 1048576 + 5;
    ASSERT_TRUE(Open());
    GoToSettings();
    Pick(C(L"cbDrive"), L"E:");
    EXPECT_EQ(SelectedItem(C(L"cbDbDrive")), L"E:");
    EXPECT_EQ(Sys.Engine().InstallDir(), L"E:\\CorvaneZideroZur");
    EXPECT_EQ(Sys.Engine().DbDrive(), L"E");
    EXPECT_EQ(Text(C(L"lblDriveInfo")), L"Boş alan: 777 MB  |  Hedef: E:\\CorvaneZideroZur");
    EXPECT_EQ(Text(C(L"lblDbDriveInfo")),
              L"E:\\CorvaneOrtakData\\mariadb  |  E:\\CorvaneOrtakData\\Data");

    Pick(C(L"cbDbDrive"), L"C:");
    EXPECT_EQ(SelectedItem(C(L"cbDrive")), L"E:");
    EXPECT_EQ(Sys.Engine().InstallDir(), L"E:\\CorvaneZideroZur");
    EXPECT_EQ(Sys.Engine().DbDrive(), L"C");
    EXPECT_EQ(Text(C(L"lblDriveInfo")), L"Boş alan: 777 MB  |  Hedef: E:\\CorvaneZideroZur");
    EXPECT_EQ(Text(C(L"lblDbDriveInfo")),
              L"C:\\CorvaneOrtakData\\mariadb  |  C:\\CorvaneOrtakData\\Data");
}

TEST_F(SettingsTest, WarningLineWaitsForTheUsersFirstDriveChange) {
    ASSERT_TRUE(Open());
    GoToSettings();
    EXPECT_EQ(Text(C(L"lblUpdateWarn")), L"...");
    Pick(C(L"cbDbDrive"), L"C:");
    EXPECT_EQ(Text(C(L"lblUpdateWarn")), L"...") << "the database drive does not touch it";
    Pick(C(L"cbDrive"), L"C:");
    EXPECT_EQ(Text(C(L"lblUpdateWarn")), L"");
}

TEST_F(SettingsTest, WarningLineOfAnUpdateFile) {
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    GoToSettings();
    EXPECT_EQ(Text(C(L"lblUpdateWarn")), L"...");
    Pick(C(L"cbDrive"), L"C:");
    EXPECT_EQ(Text(C(L"lblUpdateWarn")), L"MEVCUT KURULUM TESPIT EDİLDİ - Güncelleme yapılacak");
}

TEST_F(SettingsTest, InstallationTypeShowsAndHidesTheTwoBoxes) {
    ASSERT_TRUE(Open());
    GoToSettings();
    HWND sync = C(L"chkCorvaneSync"), demo = C(L"chkDemoData");
    EXPECT_TRUE(Shown(sync));
    EXPECT_FALSE(Shown(demo));

    Pick(C(L"cbKurulumTipi"), L"Sadece CorvaneDB");
    EXPECT_FALSE(Shown(sync));
    EXPECT_FALSE(Shown(demo));
    for (const wchar_t* name : {L"chkFirewall", L"chkRemoteAccess", L"chkDesktopShortcut"})
        EXPECT_TRUE(Shown(C(name))) << testing::PrintToString(std::wstring(name));

    Pick(C(L"cbKurulumTipi"), L"Ana Makine");
    EXPECT_TRUE(Shown(sync));
    EXPECT_TRUE(Shown(demo));
    EXPECT_TRUE(Checked(sync));
    EXPECT_FALSE(Checked(demo));
}

TEST_F(SettingsTest, UpdateFileWithoutItsInstallationFolderIsRefused) {
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONERROR | MB_OK));
    EXPECT_EQ(Sys.Boxes[0].Text, L"Kurulum klasörü bulunamadı: D:\\CorvaneZideroZur\r\n"
                                 L"Güncelleme için önce program kurulu olmalıdır.");
    EXPECT_TRUE(Shown(C(L"tsSettings")));
    EXPECT_FALSE(Sys.Engine().IsRunning());
}

TEST_F(SettingsTest, DatabaseOnlyWithoutTheInstallationFolderIsRefusedAfterCopyingTheOptions) {
    ASSERT_TRUE(Open());
    GoToSettings();
    Pick(C(L"cbKurulumTipi"), L"Sadece CorvaneDB");
    SetChecked(C(L"chkFirewall"), false);
    Pick(C(L"cbDbDrive"), L"C:");
    PressKur();
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONERROR | MB_OK));
    EXPECT_EQ(Sys.Boxes[0].Text,
              L"Kurulum klasörü bulunamadı: D:\\CorvaneZideroZur\r\n\r\n"
              L"CorvaneDB kurulumu için CorvaneZideroZur klasörü mevcut olmalıdır.");
    EXPECT_TRUE(Shown(C(L"tsSettings")));
    EXPECT_TRUE(Sys.Engine().OptCorvaneDBOnly());
    EXPECT_FALSE(Sys.Engine().OptFirewall());
    EXPECT_EQ(Sys.Engine().DbDrive(), L"C");
    EXPECT_FALSE(Sys.Engine().IsRunning());
}

TEST_F(SettingsTest, KurCopiesEveryBoxIntoTheEngineVisibleOrNot) {
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    SetChecked(C(L"chkDesktopShortcut"), false);
    SetChecked(C(L"chkFirewall"), true);
    SetChecked(C(L"chkRemoteAccess"), false);
    SetChecked(C(L"chkCorvaneSync"), true);
    SetChecked(C(L"chkDemoData"), true); // hidden, still read
    Pick(C(L"cbDbDrive"), L"C:");
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    TSetupEngine& e = Sys.Engine();
    EXPECT_TRUE(e.IsRunning());
    EXPECT_FALSE(e.OptDesktopShortcut());
    EXPECT_TRUE(e.OptFirewall());
    EXPECT_FALSE(e.OptRemoteAccess());
    EXPECT_TRUE(e.OptCorvaneSync());
    EXPECT_TRUE(e.OptDemoData());
    EXPECT_FALSE(e.OptCorvaneDBOnly());
    EXPECT_EQ(e.InstallDir(), L"D:\\CorvaneZideroZur");
    EXPECT_EQ(e.DbDrive(), L"C");
    EXPECT_TRUE(Sys.Boxes.empty());
}

TEST_F(SettingsTest, KurOfAnUpdateFileReadsTheHiddenBoxesToo) {
    TTempDir install(L"D:\\CorvaneZideroZur");
    HoldRuns();
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    GoToSettings();
    SetChecked(C(L"chkFirewall"), false); // hidden for an update file
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    EXPECT_FALSE(Sys.Engine().OptFirewall());
    EXPECT_TRUE(Sys.Engine().OptRemoteAccess());
    EXPECT_TRUE(Sys.Engine().OptDesktopShortcut());
}
