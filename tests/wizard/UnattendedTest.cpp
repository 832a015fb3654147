// Unattended runs: the switches, the elevated relaunch that waits for its copy's exit code, the
// checks before anything runs, one setup at a time, and /S and /SP on the window's system seam.
#include "WizardTestSupport.h"

#include <sddl.h>
#include <shellapi.h>

#include <fstream>
#include <iterator>

#include "uCommandLine.h"
#include "uHardening.h"
#include "uUnattended.h"

namespace {

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::wstring> Split(const std::wstring& line) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW((L"setup.exe " + line).c_str(), &argc);
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);
    return args;
}

} // namespace

TEST(UnattendedSwitches, ParsedCaseInsensitivelyEachBadOneNamed) {
    const TSetupSwitches all = ParseSwitches(
        {L"/s", L"/Disk=d:", L"/DBDISK=E:\\", L"/type=db", L"/SHORTCUT=0", L"/firewall=1",
         L"/REMOTE=0", L"/service=0", L"/DEMO=1", L"/restore", L"/LOG=C:\\a b\\x.log"});
    EXPECT_EQ(all.Error, L"");
    EXPECT_TRUE(all.Silent && all.Restore && !all.WithProgress && !all.Help);
    EXPECT_EQ(all.Drive, L'D');
    EXPECT_EQ(all.DbDrive, L'E');
    EXPECT_EQ(all.DbOnly, true);
    EXPECT_EQ(all.Shortcut, false);
    EXPECT_EQ(all.Firewall, true);
    EXPECT_EQ(all.Remote, false);
    EXPECT_EQ(all.Service, false);
    EXPECT_EQ(all.Demo, true);
    EXPECT_EQ(all.LogPath, L"C:\\a b\\x.log");
    EXPECT_EQ(ParseSwitches({L"/mode=file"}).ModeName, L"CorvaneMarketDosyaUpdate.exe");
    const TSetupSwitches none = ParseSwitches({});
    EXPECT_FALSE(none.Unattended() || none.Restore || none.Drive || none.Shortcut);

    const struct {
        std::vector<std::wstring> args;
        const wchar_t* error;
    } cases[] = {
        {{L"/SP", L"/TYPE=ana"}, L""},
        {{L"/?"}, L""},
        {{L"/X"}, L"Bilinmeyen parametre: /X"},
        {{L"D:"}, L"Bilinmeyen parametre: D:"},
        {{L"/S=1"}, L"Bilinmeyen parametre: /S=1"},
        {{L"/DISK"}, L"Bilinmeyen parametre: /DISK"},
        {{L"/DISK=B"}, L"Geçersiz parametre değeri: /DISK=B"},
        {{L"/DISK=DD"}, L"Geçersiz parametre değeri: /DISK=DD"},
        {{L"/DBDISK=E:x"}, L"Geçersiz parametre değeri: /DBDISK=E:x"},
        {{L"/TYPE=server"}, L"Geçersiz parametre değeri: /TYPE=server"},
        {{L"/DEMO=yes"}, L"Geçersiz parametre değeri: /DEMO=yes"},
        {{L"/LOG="}, L"Geçersiz parametre değeri: /LOG="},
        {{L"/S", L"/SP"}, L"/S ve /SP birlikte kullanılamaz."},
        {{L"/MODE=FILE", L"/NORESTART", L"/NOCLOSEAPPS"}, L""},
        {{L"/MODE=yeni"}, L"Geçersiz parametre değeri: /MODE=yeni"},
        {{L"/Q", L"/R"}, L"Bilinmeyen parametre: /Q"}, // the first one counts
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseSwitches(c.args).Error, c.error) << testing::PrintToString(c.args);
    // /S still counts beside a bad switch: the error goes to the log, not a box.
    EXPECT_TRUE(ParseSwitches({L"/BAD", L"/S"}).Silent);
}

TEST(UnattendedSwitches, RelaunchQuotingGivesTheSameArgumentsBack) {
    const std::vector<std::wstring> args = {
        L"/S", L"/LOG=C:\\log folder\\x.log", L"/LOG=C:\\ends in\\", L"a\"b", L"", L"x\\\\\"y"};
    EXPECT_EQ(Split(JoinArguments(args)), args);
    EXPECT_EQ(JoinArguments({L"/S", L"/DISK=D"}), L"/S /DISK=D");
}

class UnattendedTest : public TWizardTest {
protected:
    std::wstring LogPath() { return Log.Path() + L"\\run.log"; }
    TTempDir Log{L"C:\\corvane-unattended-test"};
};

TEST_F(UnattendedTest, RelaunchPassesTheSwitchesAndEndsWithTheElevatedCopysExitCode) {
    Sys.Admin = false;
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    Sys.ElevatedExitCode = EXIT_FAILED_ROLLED_BACK;
    EXPECT_EQ(RunSetupProgram(Sys, {L"/S", L"/LOG=C:\\my logs\\x.log"}, SW_SHOWNORMAL),
              EXIT_FAILED_ROLLED_BACK);
    ASSERT_EQ(Sys.ElevatedCalls.size(), 1u);
    EXPECT_EQ(Sys.ElevatedCalls[0].File, L"C:\\dl\\CorvaneMarketUpdate-2.0.exe");
    EXPECT_EQ(Sys.ElevatedCalls[0].Params, L"/S \"/LOG=C:\\my logs\\x.log\"");
    EXPECT_EQ(Sys.ElevatedCalls[0].Dir, L"C:\\dl");
    EXPECT_TRUE(Sys.Boxes.empty());
    EXPECT_TRUE(Sys.Engines.empty()) << "the first process does no work of its own";
    // The copy starts in the setup file's folder: a relative log path is the caller's.
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    RunSetupProgram(Sys, {L"/LOG=sub\\x.log", L"/S"}, SW_SHOWNORMAL);
    EXPECT_EQ(Split(Sys.ElevatedCalls.back().Params),
              (std::vector<std::wstring>{L"/LOG=" + (std::wstring(cwd) + L"\\sub\\x.log"), L"/S"}));

    // Refused: its own code; a box only without /S, the reason in the log either way.
    Sys.ElevatedStarts = false;
    Sys.ElevatedExitCode = ERROR_CANCELLED;
    EXPECT_EQ(RunSetupProgram(Sys, {L"/S", L"/LOG=" + LogPath()}, SW_SHOWNORMAL),
              EXIT_ELEVATION_REFUSED);
    EXPECT_TRUE(Sys.Boxes.empty());
    EXPECT_NE(ReadBytes(LogPath()).find("MESAJ: Bu program Y\xC3\xB6netici"), std::string::npos);
    EXPECT_EQ(RunSetupProgram(Sys, {L"/SP"}, SW_SHOWNORMAL), EXIT_ELEVATION_REFUSED);
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONERROR | MB_OK));

    // Any other reason the copy did not start is a failed run, not a refusal.
    Sys.ElevatedExitCode = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(RunSetupProgram(Sys, {L"/S"}, SW_SHOWNORMAL), EXIT_FAILED);

    // Without switches too the copy is waited for: a batch file sees its failure.
    Sys.ElevatedStarts = true;
    Sys.ElevatedExitCode = EXIT_FAILED;
    EXPECT_EQ(RunSetupProgram(Sys, {}, SW_SHOWNORMAL), EXIT_FAILED);
    ASSERT_EQ(Sys.ElevatedCalls.size(), 6u);
    EXPECT_EQ(Sys.ElevatedCalls.back().Params, L"");
    EXPECT_TRUE(Sys.ShellCalls.empty());
}

// What /S writes to the log only: the reason why nothing ran, as a box.
TEST_F(UnattendedTest, WithoutSilentTheReasonIsABoxAndTheRunDoesNotStart) {
    EXPECT_EQ(RunSetupProgram(Sys, {L"/NOPE"}, SW_SHOWNORMAL), EXIT_INVALID_ARGS);
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Text.rfind(L"Bilinmeyen parametre: /NOPE\r\n\r\nKullanım: ", 0), 0u);
    Sys.Drives[L'E'] = DRIVE_REMOVABLE;
    EXPECT_EQ(RunSetupProgram(Sys, {L"/SP", L"/DBDISK=E"}, SW_SHOWNORMAL), EXIT_INVALID_ARGS);
    EXPECT_EQ(Sys.Boxes.back().Text, L"Veritabanı diski sabit bir disk değil: E:");
    HANDLE first = CreateMutexW(nullptr, TRUE, SETUP_MUTEX_NAME);
    EXPECT_EQ(RunSetupProgram(Sys, {}, SW_SHOWNORMAL), EXIT_ALREADY_RUNNING);
    EXPECT_EQ(Sys.Boxes.back().Type, UINT(MB_ICONWARNING | MB_OK));
    CloseHandle(first);
    // Squatted by another account with a DACL that refuses everyone: still another run, for the
    // setup and for the uninstaller's lock of the same name.
    SECURITY_ATTRIBUTES denyAll{sizeof(denyAll), nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P", SDDL_REVISION_1, &denyAll.lpSecurityDescriptor, nullptr));
    HANDLE squat = CreateMutexW(&denyAll, FALSE, SETUP_MUTEX_NAME);
    LocalFree(denyAll.lpSecurityDescriptor);
    ASSERT_NE(squat, nullptr);
    EXPECT_TRUE(TRunLock(SETUP_MUTEX_NAME).AnotherRunning());
    EXPECT_EQ(RunSetupProgram(Sys, {L"/S"}, SW_SHOWNORMAL), EXIT_ALREADY_RUNNING);
    CloseHandle(squat);
    EXPECT_FALSE(TRunLock(SETUP_MUTEX_NAME).AnotherRunning());
    EXPECT_TRUE(Sys.Engines.empty());

    // /SP asks nothing: the check that refuses "Kur" (a database-only run needs the installation
    // folder) is a line of the log, and the run has failed.
    EXPECT_EQ(RunSetupProgram(Sys, {L"/SP", L"/TYPE=DB", L"/LOG=" + LogPath()}, SW_SHOWNORMAL),
              EXIT_FAILED);
    EXPECT_EQ(Sys.Boxes.size(), 3u);

    // /NOCLOSEAPPS with the till program running: its own code, and no run is started.
    Sys.ConfigureHost = [](TScriptedHost& host) { host.Running = {L"CorvaneZideroZUR.exe"}; };
    const size_t engines = Sys.Engines.size();
    EXPECT_EQ(RunSetupProgram(Sys, {L"/S", L"/nocloseapps", L"/LOG=" + LogPath()}, SW_SHOWNORMAL),
              EXIT_APPS_RUNNING);
    EXPECT_EQ(Sys.Engines.size(), engines + 1) << "only the probe, no run";
    EXPECT_NE(ReadBytes(LogPath()).find("MESAJ: Program \xC3\xA7"
                                        "al\xC4\xB1\xC5\x9F\xC4\xB1yor: "
                                        "CorvaneZideroZUR.exe"),
              std::string::npos);
    EXPECT_NE(ReadBytes(LogPath()).find("\xC3\x87\xC4\xB1k\xC4\xB1\xC5\x9F kodu: 536870915"),
              std::string::npos);

    // /MODE=UPDATE: a file named as a new installation runs as a full update, which needs the
    // installation it updates.
    Sys.ConfigureHost = nullptr;
    Sys.Exe = L"C:\\dl\\CorvaneMarketSetup-2.0.0.exe";
    EXPECT_EQ(RunSetupProgram(Sys, {L"/S", L"/MODE=update", L"/LOG=" + LogPath()}, SW_SHOWNORMAL),
              EXIT_FAILED);
    EXPECT_TRUE(Sys.Engines.back()->IsUpdateInstall() && Sys.Engines.back()->IsFullUpdate());
    EXPECT_NE(ReadBytes(LogPath()).find("nce program kurulu olmal"), std::string::npos);
    EXPECT_NE(ReadBytes(LogPath()).find("MESAJ: Kurulum klas\xC3\xB6r\xC3\xBC bulunamad\xC4\xB1: "
                                        "D:\\CorvaneZideroZur  CorvaneDB kurulumu"),
              std::string::npos);
}
