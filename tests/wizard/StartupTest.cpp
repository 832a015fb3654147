// Start-up: the elevated relaunch, the version in the sidebar and what an update file's name
// changes on the settings page.
#include "WizardTestSupport.h"

class StartupTest : public TWizardTest {};

TEST_F(StartupTest, NotElevatedStartsTheElevatedCopyWithoutArgumentsAndEnds) {
    Sys.Admin = false;
    Sys.Exe = L"C:\\Kurulum\\setup-2.4.1.exe";
    EXPECT_FALSE(Open()) << "the process must end instead of showing the wizard";
    EXPECT_TRUE(WindowGone());
    ASSERT_EQ(Sys.ShellCalls.size(), 1u);
    const TShellCall& call = Sys.ShellCalls[0];
    EXPECT_EQ(call.Owner, nullptr);
    EXPECT_EQ(call.Verb, L"runas");
    EXPECT_EQ(call.File, L"C:\\Kurulum\\setup-2.4.1.exe");
    EXPECT_TRUE(call.NoParams);
    EXPECT_EQ(call.Dir, L"C:\\Kurulum");
    EXPECT_EQ(call.Show, SW_SHOWNORMAL);
    EXPECT_TRUE(Sys.Boxes.empty()) << "a started relaunch ends without a message";
    EXPECT_TRUE(Sys.Engines.empty()) << "no engine without administrator rights";
    EXPECT_EQ(Sys.DriveQueries, 0);
}

TEST_F(StartupTest, RelaunchFromADriveRootKeepsTheRootsBackslash) {
    Sys.Admin = false;
    Sys.Exe = L"E:\\setup.exe";
    EXPECT_FALSE(Open());
    ASSERT_EQ(Sys.ShellCalls.size(), 1u);
    EXPECT_EQ(Sys.ShellCalls[0].Dir, L"E:\\");
}

TEST_F(StartupTest, RefusedElevationShowsTheErrorBoxOnceAndEnds) {
    Sys.Admin = false;
    Sys.ShellResult = 5; // SE_ERR_ACCESSDENIED: the user said no
    EXPECT_FALSE(Open());
    EXPECT_TRUE(WindowGone());
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Owner, nullptr);
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONERROR | MB_OK));
    EXPECT_EQ(Sys.Boxes[0].Text,
              L"Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır!\r\n\r\n"
              L"EXE'ye sağ tıklayın > \"Yönetici olarak çalıştır\" seçin.");
    EXPECT_EQ(Sys.ShellCalls.size(), 1u) << "no retry";
    EXPECT_TRUE(Sys.Engines.empty());
}

TEST_F(StartupTest, ShellResultOf32CountsAsRefused) {
    Sys.Admin = false;
    Sys.ShellResult = 32;
    EXPECT_FALSE(Open());
    EXPECT_EQ(Sys.Boxes.size(), 1u);
}

TEST_F(StartupTest, VersionLabelFromTheSetupFileName) {
    const struct {
        const wchar_t* exe;
        const wchar_t* label;
    } cases[] = {
        {L"C:\\dl\\setup-2.4.1.exe", L"v2.4.1"}, {L"C:\\dl\\setup-beta.exe", L"v1.0.0"},
        {L"C:\\dl\\setup-.exe", L"v1.0.0"},      {L"C:\\dl\\setup.exe", L"v1.0.0"},
        {L"C:\\dl\\setup-x-3.0.exe", L"v3.0"},
    };
    for (const auto& c : cases) {
        Sys.Exe = c.exe;
        ASSERT_TRUE(Open());
        EXPECT_EQ(Text(C(L"lblVersion")), c.label) << testing::PrintToString(std::wstring(c.exe));
        Destroy();
    }
}

TEST_F(StartupTest, ElevatedStartShowsTheWelcomePageWithTheEngineReady) {
    ASSERT_TRUE(Open(true));
    EXPECT_TRUE(Sys.ShellCalls.empty());
    EXPECT_TRUE(Sys.Boxes.empty());
    EXPECT_TRUE(Shown(C(L"tsWelcome")));
    EXPECT_FALSE(Shown(C(L"tsSettings")));
    EXPECT_TRUE(IsWindowVisible(Form->Handle()));
    // The engine's events are bound to the window.
    EXPECT_TRUE(Sys.Engine().OnLog());
    EXPECT_TRUE(Sys.Engine().OnProgress());
    EXPECT_TRUE(Sys.Engine().OnFinished());
    EXPECT_EQ(Items(C(L"cbKurulumTipi")),
              (std::vector<std::wstring>{L"Ana Makine", L"Sadece CorvaneDB"}));
    EXPECT_EQ(SelectedItem(C(L"cbKurulumTipi")), L"Ana Makine");
    // No installation known on a fresh engine: no backup line, no restore button.
    EXPECT_FALSE(Shown(C(L"lblYedekBilgi")));
    EXPECT_FALSE(Shown(C(L"btnGeriYukle")));
}

TEST_F(StartupTest, UpdateFileNameHidesTheOptionsOfANewInstallation) {
    for (const wchar_t* exe :
         {L"C:\\dl\\CorvaneMarketUpdate-2.0.exe", L"C:\\dl\\CorvaneMarketDosyaUpdate-2.0.exe"}) {
        Sys.Exe = exe;
        ASSERT_TRUE(Open());
        for (const wchar_t* name : {L"chkDemoData", L"chkCorvaneSync", L"chkFirewall",
                                    L"chkRemoteAccess", L"lblKurulumTipi", L"cbKurulumTipi"})
            EXPECT_FALSE(Shown(C(name))) << testing::PrintToString(std::wstring(name));
        EXPECT_TRUE(Shown(C(L"chkDesktopShortcut")));
        EXPECT_TRUE(Sys.Engine().IsUpdateInstall());
        Destroy();
    }
}

TEST_F(StartupTest, LowerCaseUpdateIsNotAnUpdateFile) {
    Sys.Exe = L"C:\\dl\\corvanemarket-update.exe";
    ASSERT_TRUE(Open());
    for (const wchar_t* name : {L"chkCorvaneSync", L"chkFirewall", L"chkRemoteAccess",
                                L"lblKurulumTipi", L"cbKurulumTipi", L"chkDesktopShortcut"})
        EXPECT_TRUE(Shown(C(name))) << testing::PrintToString(std::wstring(name));
    EXPECT_FALSE(Shown(C(L"chkDemoData"))) << "hidden as laid out";
    EXPECT_FALSE(Sys.Engine().IsUpdateInstall());
}
