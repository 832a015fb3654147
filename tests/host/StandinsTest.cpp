// The stand-in programs do what the setup relies on from the programs they replace: the
// MariaDB initialiser, server (as a program and as a service) and client, and the service
// registration of the application's server program.
#include "HostTestSupport.h"

namespace {

const char* const kRemoteScript =
    "CREATE USER IF NOT EXISTS 'root'@'%' IDENTIFIED BY 'kelmor482';\r\n"
    "GRANT ALL PRIVILEGES ON *.* TO 'root'@'%' WITH GRANT OPTION;\r\n"
    "CREATE USER IF NOT EXISTS 'root'@'192.168.%' IDENTIFIED BY 'kelmor482';\r\n"
    "GRANT ALL PRIVILEGES ON *.* TO 'root'@'192.168.%' WITH GRANT OPTION;\r\n"
    "CREATE USER IF NOT EXISTS 'root'@'10.%' IDENTIFIED BY 'kelmor482';\r\n"
    "GRANT ALL PRIVILEGES ON *.* TO 'root'@'10.%' WITH GRANT OPTION;\r\n"
    "CREATE USER IF NOT EXISTS 'root'@'172.%' IDENTIFIED BY 'kelmor482';\r\n"
    "GRANT ALL PRIVILEGES ON *.* TO 'root'@'172.%' WITH GRANT OPTION;\r\n"
    "FLUSH PRIVILEGES;\r\n";

std::wstring Slashes(std::wstring p) {
    for (wchar_t& c : p)
        if (c == L'\\')
            c = L'/';
    return p;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A shared data folder as the setup lays it out: my.ini on the given port, Data initialised.
class MariaDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        Ortak = Dir / L"CorvaneOrtakData";
        Data = Ortak + L"\\Data";
        MakeDirs(Ortak);
        ASSERT_EQ(RunAndWait(Standin(L"mariadb-install-db.exe"),
                             L"--datadir=\"" + Data + L"\" --password=kelmor482"),
                  0);
        WriteIni(Port);
    }
    void WriteIni(int port) {
        std::string dd;
        for (wchar_t c : Slashes(Data))
            dd += static_cast<char>(c);
        const std::string p = std::to_string(port);
        WriteText(Ortak + L"\\my.ini",
                  "[mysqld]\r\ndatadir=" + dd + "\r\nport=" + p +
                      "\r\nbind-address=0.0.0.0\r\ncharacter-set-server=utf8mb4\r\n"
                      "skip-name-resolve\r\n[client]\r\nport=" +
                      p + "\r\n");
    }
    int Client(const std::wstring& port, const std::wstring& password, const std::wstring& script) {
        return RunAndWait(Standin(L"mariadb.exe"), L"-h 127.0.0.1 -u root -P " + port + L" -p" +
                                                       password + L" -e \"SOURCE " +
                                                       Slashes(script) + L"\"");
    }
    std::string Accounts() { return ReadText(Data + L"\\mysql\\accounts.txt"); }

    TTempDir Dir;
    std::wstring Ortak, Data;
    // Free now; the server of the test takes it (3307 belongs to the end-to-end tests).
    const int Port = FreeLoopbackPort();
    const std::wstring PortText = std::to_wstring(Port);
};

} // namespace

TEST_F(MariaDbTest, InitialiserCreatesTheDataDirectoryWithRootPassword) {
    EXPECT_TRUE(DirectoryExists(Data + L"\\mysql"));
    EXPECT_TRUE(Contains(Accounts(), "root\tlocalhost\tkelmor482\t"));
    EXPECT_TRUE(FileExists(Data + L"\\my.ini"));
    // An initialised directory is not initialised again.
    EXPECT_NE(
        RunAndWait(Standin(L"mariadb-install-db.exe"), L"--datadir=\"" + Data + L"\" --password=x"),
        0);
    EXPECT_TRUE(Contains(Accounts(), "root\tlocalhost\tkelmor482\t"));

    const std::wstring other = Dir / L"Other Data";
    EXPECT_EQ(RunAndWait(Standin(L"mariadb-install-db.exe"),
                         L"--datadir=\"" + other + L"\" --password=p --standin-no-ini"),
              0);
    EXPECT_TRUE(DirectoryExists(other + L"\\mysql"));
    EXPECT_FALSE(FileExists(other + L"\\my.ini"));
}

TEST_F(MariaDbTest, ClientRunsTheRemoteAccessScript) {
    TChild server;
    ASSERT_TRUE(server.Start(Standin(L"mariadbd.exe"),
                             L"\"--defaults-file=" + Ortak + L"\\my.ini\" --standin-life=60000"));
    WriteText(Dir / L"setup-remote.sql", kRemoteScript);
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"setup-remote.sql"), 0);
    const std::string accounts = Accounts();
    for (const char* host : {"%", "192.168.%", "10.%", "172.%"})
        EXPECT_TRUE(Contains(accounts, std::string("root\t") + host +
                                           "\tkelmor482\tALL PRIVILEGES ON *.* WITH GRANT OPTION"))
            << host;
    EXPECT_TRUE(Contains(ReadText(Data + L"\\mysql\\queries.log"), "FLUSH PRIVILEGES"));

    // A second run keeps the accounts' passwords and grants again.
    WriteText(Dir / L"again.sql",
              "CREATE USER IF NOT EXISTS 'root'@'%' IDENTIFIED BY 'other';\r\n"
              "GRANT ALL PRIVILEGES ON *.* TO 'root'@'%' WITH GRANT OPTION;\r\n");
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"again.sql"), 0);
    EXPECT_TRUE(Contains(Accounts(), "root\t%\tkelmor482\t"));
    EXPECT_FALSE(Contains(Accounts(), "other"));
}

TEST_F(MariaDbTest, ClientFailsOnWrongPasswordMissingScriptOrNoServer) {
    WriteText(Dir / L"setup-remote.sql", kRemoteScript);
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"setup-remote.sql"), 1); // nobody listens
    TChild server;
    ASSERT_TRUE(server.Start(Standin(L"mariadbd.exe"),
                             L"\"--defaults-file=" + Ortak + L"\\my.ini\" --standin-life=60000"));
    EXPECT_EQ(Client(PortText, L"wrong", Dir / L"setup-remote.sql"), 1);
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"missing.sql"), 1);
    EXPECT_FALSE(Contains(Accounts(), "root\t%"));
    WriteText(Dir / L"bad.sql", "DROP DATABASE corvaneposdb;\r\n");
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"bad.sql"), 1);
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"setup-remote.sql"), 0);
}

TEST_F(MariaDbTest, ServerRefusesAnUninitialisedDataDirectory) {
    const std::wstring empty = Dir / L"Empty";
    MakeDirs(empty);
    std::string dd;
    for (wchar_t c : Slashes(empty))
        dd += static_cast<char>(c);
    WriteText(Dir / L"empty.ini", "[mysqld]\r\ndatadir=" + dd + "\r\nport=3319\r\n");
    EXPECT_EQ(
        RunAndWait(Standin(L"mariadbd.exe"), L"\"--defaults-file=" + Dir / L"empty.ini" + L"\""),
        1);
}

TEST_F(MariaDbTest, InstalledServiceServesOnItsPortAndStops) {
    const std::wstring name = L"CorvaneDBStandinTest";
    RemoveServiceHard(name);
    const std::wstring mariadbd = Standin(L"mariadbd.exe");
    ASSERT_EQ(
        RunAndWait(mariadbd, L"--install " + name + L" --defaults-file=\"" + Ortak + L"\\my.ini\""),
        0);
    EXPECT_EQ(ServiceImagePath(name), L"\"" + mariadbd + L"\" \"--defaults-file=" + Ortak +
                                          L"\\my.ini\" \"" + name + L"\"");
    // A second registration under the same name fails.
    EXPECT_NE(
        RunAndWait(mariadbd, L"--install " + name + L" --defaults-file=\"" + Ortak + L"\\my.ini\""),
        0);
    ASSERT_TRUE(StartServiceAndWait(name));
    WriteText(Dir / L"setup-remote.sql", kRemoteScript);
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"setup-remote.sql"), 0);
    EXPECT_TRUE(Contains(Accounts(), "root\t10.%\tkelmor482"));

    TRecordingHost host;
    host.RealSleepMs = 1000; // the wait's own polls: a loaded machine may stop it slowly
    EXPECT_TRUE(host.StopServiceWait(name, 60));
    EXPECT_TRUE(ServiceReaches(name, SERVICE_STOPPED));
    EXPECT_EQ(Client(PortText, L"kelmor482", Dir / L"setup-remote.sql"), 1);
    RemoveServiceHard(name);
}

TEST(MarketServer, InstallRegistersTheServiceThatStaysUpUntilStopped) {
    const std::wstring name = L"CorvaneMarketService";
    RemoveServiceHard(name);
    const std::wstring exe = Standin(L"CorvaneMarketServer.exe");
    ASSERT_EQ(RunAndWait(exe, L"/install"), 0);
    EXPECT_EQ(ServiceImagePath(name), L"\"" + exe + L"\"");
    EXPECT_NE(RunAndWait(exe, L"/install"), 0);
    ASSERT_TRUE(StartServiceAndWait(name));
    ::Sleep(300);
    EXPECT_EQ(ServiceState(name), static_cast<DWORD>(SERVICE_RUNNING));
    TRecordingHost host;
    EXPECT_TRUE(host.IsProcessRunning(L"CorvaneMarketServer.exe"));
    host.RealSleepMs = 100;
    EXPECT_TRUE(host.StopServiceWait(name, 30));
    EXPECT_TRUE(host.WaitProcessExit(L"CorvaneMarketServer.exe", 15));
    RemoveServiceHard(name);
}

// The polite end request (what taskkill without /F sends): WM_CLOSE to the program's windows.
// A program just started may not have made its window yet: looked for again for up to 10 s.
void PostCloseTo(HDESK desktop, HANDLE process) {
    struct TFind {
        DWORD Pid;
        int Posted;
    } find{::GetProcessId(process), 0};
    for (int tries = 0; tries < 200 && find.Posted == 0; ++tries) {
        if (tries > 0)
            ::Sleep(50);
        ::EnumDesktopWindows(
            desktop,
            [](HWND hwnd, LPARAM lp) -> BOOL {
                auto* f = reinterpret_cast<TFind*>(lp);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(hwnd, &pid);
                if (pid == f->Pid && ::PostMessageW(hwnd, WM_CLOSE, 0, 0))
                    ++f->Posted;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&find));
    }
    EXPECT_GT(find.Posted, 0);
}

// Runs under a display. The programs get a desktop of their own: Wine gives a desktop its
// display when it is first used, and the prefix's default desktop may have been first used by
// a test without one.
TEST(StayUpPrograms, EndOnCloseUnlessTheyIgnoreIt) {
    const std::wstring name = L"CorvaneStandinClose" + std::to_wstring(::GetCurrentProcessId());
    HDESK desktop = ::CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ASSERT_NE(desktop, nullptr);
    for (const wchar_t* exe : {L"CorvaneZideroZUR.exe", L"TarvikBridge.exe", L"OmnelBridge.exe"}) {
        TChild polite;
        ASSERT_TRUE(polite.Start(Standin(exe), L"--standin-life=60000", name));
        PostCloseTo(desktop, polite.Handle());
        EXPECT_EQ(::WaitForSingleObject(polite.Handle(), 5000), WAIT_OBJECT_0) << exe;
    }
    TChild stubborn;
    ASSERT_TRUE(stubborn.Start(Standin(L"OmnelBridge.exe"),
                               L"--standin-life=60000 --standin-ignore-close", name));
    PostCloseTo(desktop, stubborn.Handle());
    EXPECT_EQ(::WaitForSingleObject(stubborn.Handle(), 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    // taskkill /F, as the setup uses it, ends it all the same.
    RunAndWait(L"C:\\windows\\system32\\taskkill.exe", L"/F /IM OmnelBridge.exe");
    EXPECT_EQ(::WaitForSingleObject(stubborn.Handle(), 5000), WAIT_OBJECT_0);
    ::CloseDesktop(desktop);
}

TEST(StayUpPrograms, LifeEndsThemByThemselves) {
    TChild child;
    ASSERT_TRUE(child.Start(Standin(L"TarvikBridge.exe"), L"--standin-life=300"));
    EXPECT_EQ(::WaitForSingleObject(child.Handle(), 5000), WAIT_OBJECT_0);
}

TEST(StayUpPrograms, SideFileSwitchesApply) {
    TTempDir dir;
    const std::wstring exe = dir / L"TarvikBridge.exe";
    ASSERT_TRUE(::CopyFileW(Standin(L"TarvikBridge.exe").c_str(), exe.c_str(), FALSE));
    WriteText(exe + L".standin", "--standin-exit=42\r\n");
    EXPECT_EQ(RunAndWait(exe, L""), 42);
    // The command line wins over the side file.
    EXPECT_EQ(RunAndWait(exe, L"--standin-exit=5"), 5);
}
