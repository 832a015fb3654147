// The engine's installations from end to end on the test prefix: the demo payload, the real
// host and the stand-in programs as MariaDB and the application. What the machine holds
// afterwards is checked the way a technician would: files, services, registry, shortcut,
// the database server's answer and the accounts it recorded.
#include <winsock2.h>

#include "E2eSupport.h"
#include "steps/uAppRegistration.h"

#include <algorithm>
#include <map>
#include <regex>

using TLines = std::vector<std::wstring>;

namespace {

const std::wstring kInstall = L"D:\\CorvaneZideroZur";
const std::wstring kOrtak = L"D:\\CorvaneOrtakData";
const std::wstring kUninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Market Pos";

bool Starts(const std::wstring& s, const std::wstring& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The shared data folder of a database set up by the engine, its service running and the
// server answering.
void ExpectDatabaseServing(TSetupEngine& engine) {
    EXPECT_TRUE(DirectoryExists(kOrtak + L"\\Data\\mysql"));
    EXPECT_TRUE(DirectoryExists(kOrtak + L"\\mariadb\\logs"));
    EXPECT_TRUE(FileExists(kOrtak + L"\\my.ini"));
    EXPECT_FALSE(FileExists(kOrtak + L"\\mariadb\\my.ini"));
    EXPECT_FALSE(FileExists(kOrtak + L"\\Data\\my.ini"));
    EXPECT_FALSE(FileExists(kOrtak + L"\\mariadb\\setup-remote.sql"));
    EXPECT_TRUE(ServiceReaches(L"CorvaneDB", SERVICE_RUNNING));
    EXPECT_EQ(engine.GetMevcutServisYolu(), kOrtak);
    EXPECT_TRUE(ServiceListens(L"CorvaneDB", 3307));
}

class EngineInstall : public ::testing::Test {
protected:
    void SetUp() override { ResetMachine(); }
    void TearDown() override { ResetMachine(); }

    static void Configure(TSetupEngine& e, bool everything) {
        e.SetInstallDir(kInstall);
        e.SetDbDrive(L"D");
        e.SetSourceDir(DemoPayload(L"1.0.0"));
        e.SetOptDemoData(everything);
        e.SetOptDesktopShortcut(everything);
        e.SetOptFirewall(everything);
        e.SetOptRemoteAccess(everything);
        e.SetOptCorvaneSync(everything);
    }
};

TEST_F(EngineInstall, NewInstallationWithEveryOptionLeavesAWorkingShop) {
    TEngineRun run;
    Configure(run.Engine(), true);
    ASSERT_TRUE(run.Run()) << run.LogText();
    EXPECT_EQ(run.Percents(),
              (std::vector<int>{2, 5, 30, 34, 40, 50, 60, 74, 80, 86, 92, 96, 100}));

    // Application files: the payload's, byte for byte, without Data and the database programs.
    const std::wstring payload = DemoPayload(L"1.0.0");
    for (const auto& rel : FilesUnder(payload)) {
        if (Starts(rel, L"Data\\") || Starts(rel, L"mariadb\\"))
            continue;
        if (rel == L"pos-config.json")
            continue; // rewritten with the connection settings
        EXPECT_EQ(FileBytes(kInstall + L"\\" + rel), FileBytes(payload + L"\\" + rel)) << rel;
    }
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\Data"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\mariadb"));
    EXPECT_NE(FileBytes(kInstall + L"\\pos-config.json").find("\"password\": \"kelmor482\""),
              std::string::npos);
    EXPECT_TRUE(FileExists(kInstall + L"\\CorvaneMarketServis\\pos-config.json"));
    for (const auto* exe : {L"mariadbd.exe", L"mariadb.exe", L"mariadb-install-db.exe"})
        EXPECT_EQ(FileBytes(kOrtak + L"\\mariadb\\bin\\" + exe),
                  FileBytes(payload + L"\\mariadb\\bin\\" + exe))
            << exe;

    // Database: data folder, configuration, service, answer on 3307, accounts, no script left.
    ExpectDatabaseServing(run.Engine());
    EXPECT_TRUE(DirectoryExists(kInstall + L"\\logs"));
    const std::wstring image = ServiceImagePath(L"CorvaneDB");
    EXPECT_NE(image.find(L"--defaults-file="), std::wstring::npos) << image;
    EXPECT_NE(image.find(kOrtak + L"\\my.ini"), std::wstring::npos) << image;
    const std::string accounts = FileBytes(kOrtak + L"\\Data\\mysql\\accounts.txt");
    for (const char* host : {"\t%\t", "\t192.168.%\t", "\t10.%\t", "\t172.%\t"})
        EXPECT_NE(accounts.find(std::string("root") + host + "kelmor482"), std::string::npos)
            << host << "\n"
            << accounts;

    // Back-office service.
    EXPECT_TRUE(ServiceReaches(L"CorvaneMarketService", SERVICE_RUNNING));
    EXPECT_NE(ServiceImagePath(L"CorvaneMarketService")
                  .find(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
              std::wstring::npos);

    // Desktop shortcut, read back through the shell-link object.
    const TLinkInfo link = ReadLink(run.Engine().GetDesktopPath() + L"\\Corvane Market Pos.lnk");
    ASSERT_TRUE(link.Loaded);
    EXPECT_EQ(link.Path, kInstall + L"\\CorvaneZideroZUR.exe");
    EXPECT_EQ(link.WorkDir, kInstall);
    EXPECT_EQ(link.Description, L"Corvane Market Pos");
    EXPECT_EQ(link.Icon, kInstall + L"\\CorvaneZideroZUR.exe");
    EXPECT_EQ(link.IconIndex, 0);

    // Uninstall entry: exactly these values and types.
    const auto values = ReadKey(kUninstallKey);
    ASSERT_EQ(values.size(), 13u);
    auto sz = [&](const wchar_t* name) {
        const auto it = values.find(name);
        EXPECT_NE(it, values.end()) << name;
        if (it == values.end())
            return std::wstring();
        EXPECT_EQ(it->second.Type, static_cast<DWORD>(REG_SZ)) << name;
        return it->second.Text;
    };
    EXPECT_EQ(sz(L"DisplayName"), L"Corvane Market Pos");
    EXPECT_EQ(sz(L"DisplayVersion"), L"1.0.0");
    EXPECT_EQ(sz(L"Publisher"), L"Corvane");
    EXPECT_EQ(sz(L"InstallLocation"), kInstall);
    EXPECT_EQ(sz(L"UninstallString"), L"\"" + kInstall + L"\\Uninstall Corvane Market Pos.exe\"");
    EXPECT_EQ(sz(L"DisplayIcon"), kInstall + L"\\CorvaneZideroZUR.exe,0");
    EXPECT_EQ(sz(L"QuietUninstallString"),
              L"\"" + kInstall + L"\\Uninstall Corvane Market Pos.exe\" /S");
    EXPECT_EQ(sz(L"URLInfoAbout"), PRODUCT_URL);
    EXPECT_EQ(sz(L"HelpLink"), SUPPORT_URL);
    EXPECT_TRUE(std::regex_match(sz(L"InstallDate"), std::wregex(L"20\\d{6}")));
    ASSERT_TRUE(values.count(L"EstimatedSize"));
    EXPECT_GT(values.at(L"EstimatedSize").Number, 0u);
    for (const auto* name : {L"NoModify", L"NoRepair"}) {
        ASSERT_TRUE(values.count(name)) << name;
        EXPECT_EQ(values.at(name).Type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(values.at(name).Number, 1u);
    }

    for (const auto* line :
         {L"  OK - CorvaneDB çalışıyor (D:\\CorvaneOrtakData)",
          L"  OK - CorvaneMarketService çalışıyor", L"  Corvane Market Pos.lnk OK",
          L"  Registry OK", L"  [klasor] mariadb -> D:\\CorvaneOrtakData\\mariadb",
          L"  OK - Uzak erişim hazırlandı", L"KURULUM BAŞARIYLA TAMAMLANDI"})
        EXPECT_TRUE(run.Logged(line)) << line << "\n" << run.LogText();
}

TEST_F(EngineInstall, NewInstallationWithEverySwitchOffSkipsTheOptionalSteps) {
    TEngineRun run;
    Configure(run.Engine(), false);
    ASSERT_TRUE(run.Run()) << run.LogText();
    EXPECT_EQ(run.Percents(), (std::vector<int>{2, 5, 30, 34, 40, 50, 96, 100}));
    EXPECT_FALSE(FileExists(run.Engine().GetDesktopPath() + L"\\Corvane Market Pos.lnk"));
    EXPECT_FALSE(ServiceExists(L"CorvaneMarketService"));
    EXPECT_TRUE(ServiceReaches(L"CorvaneDB", SERVICE_RUNNING));
}

TEST_F(EngineInstall, SecondInstallationKeepsTheRunningDatabaseAndItsPrograms) {
    {
        TEngineRun first;
        Configure(first.Engine(), false);
        ASSERT_TRUE(first.Run()) << first.LogText();
    }
    // Mark the installed client program (the server's is held by the running service): the
    // second run copies the same payload, so only the mark tells whether it replaced the file.
    const std::wstring client = kOrtak + L"\\mariadb\\bin\\mariadb.exe";
    WriteText(client, FileBytes(client) + "installed-by-the-first-run");
    const std::string before = FileBytes(client);
    ASSERT_NE(before, FileBytes(DemoPayload(L"1.0.0") + L"\\mariadb\\bin\\mariadb.exe"));
    TEngineRun second;
    Configure(second.Engine(), false);
    ASSERT_TRUE(second.Run()) << second.LogText();
    EXPECT_TRUE(second.Logged(L"  [klasor] mariadb -> atlandı (CorvaneDB çalışıyor)"));
    EXPECT_TRUE(second.Logged(L"  CorvaneDB zaten çalışıyor - my.ini yazilmiyor"));
    EXPECT_TRUE(second.Logged(L"  CorvaneDB servisi zaten CorvaneOrtakData yolunda kurulu"));
    EXPECT_EQ(FileBytes(client), before);
    EXPECT_TRUE(ServiceReaches(L"CorvaneDB", SERVICE_RUNNING));
}

// ---------------------------------------------------------------------------------------------
// Database-only installation

class DatabaseOnly : public EngineInstall {
protected:
    static void ConfigureDbOnly(TSetupEngine& e) {
        Configure(e, true);
        e.SetOptCorvaneDBOnly(true);
    }
};

TEST_F(DatabaseOnly, SetsUpTheDatabaseServiceAndASecondRunChangesNothing) {
    TEngineRun run;
    ConfigureDbOnly(run.Engine());
    ASSERT_TRUE(run.Run()) << run.LogText();
    ExpectDatabaseServing(run.Engine());
    EXPECT_TRUE(DirectoryExists(kOrtak + L"\\mariadb\\bin"));
    EXPECT_FALSE(ServiceExists(L"CorvaneMarketService"));
    EXPECT_FALSE(FileExists(kInstall + L"\\pos-config.json"));
    EXPECT_TRUE(ReadKey(kUninstallKey).empty());
    const std::string accounts = FileBytes(kOrtak + L"\\Data\\mysql\\accounts.txt");
    for (const char* host : {"\t%\t", "\t192.168.%\t", "\t10.%\t", "\t172.%\t"})
        EXPECT_NE(accounts.find(std::string("root") + host), std::string::npos) << host;
    // The configuration command was run; Wine's sc does not carry it out.
    EXPECT_NE(run.LogText().find(L"  > sc config CorvaneDB start= auto"), std::wstring::npos);
    EXPECT_TRUE(run.Logged(L"CorvaneDB KURULUMU BAŞARIYLA TAMAMLANDI"));

    const std::string myIni = FileBytes(kOrtak + L"\\my.ini");
    TEngineRun again;
    ConfigureDbOnly(again.Engine());
    ASSERT_TRUE(again.Run()) << again.LogText();
    EXPECT_EQ(again.Percents(), (std::vector<int>{5, 100}));
    EXPECT_TRUE(again.Logged(L"  CorvaneDB servisi zaten kurulu - mevcut servis kullanılacak"));
    EXPECT_TRUE(again.Logged(L"  Konum: D:\\CorvaneOrtakData"));
    EXPECT_TRUE(again.Logged(L"CorvaneDB ZATEN KURULU"));
    EXPECT_EQ(FileBytes(kOrtak + L"\\my.ini"), myIni);
}

TEST_F(EngineInstall, DatabaseServiceOfAnotherFolderIsReplaced) {
    // Register CorvaneDB as an older installation elsewhere would have left it.
    const std::wstring oldImage = L"\"" + StandinsDir() +
                                  L"\\mariadbd.exe\" \"--defaults-file=E:\\EskiDB\\my.ini\" "
                                  L"\"CorvaneDB\"";
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr);
    SC_HANDLE svc =
        CreateServiceW(scm, L"CorvaneDB", L"CorvaneDB", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       oldImage.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(svc, nullptr);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);

    // The database programs are already in place (the copy skips them while CorvaneDB exists).
    CreateDirectoryW(kOrtak.c_str(), nullptr);
    TEngineRun run;
    Configure(run.Engine(), false);
    run.Engine().SetSourceDir(DemoPayload(L"1.0.0"));
    ASSERT_TRUE(CopyFileW((DemoPayload(L"1.0.0") + L"\\mariadb\\bin\\mariadbd.exe").c_str(),
                          L"D:\\mariadbd-kopya.exe", FALSE));
    CreateDirectoryW((kOrtak + L"\\mariadb").c_str(), nullptr);
    CreateDirectoryW((kOrtak + L"\\mariadb\\bin").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(L"D:\\mariadbd-kopya.exe",
                          (kOrtak + L"\\mariadb\\bin\\mariadbd.exe").c_str(), FALSE));
    DeleteFileW(L"D:\\mariadbd-kopya.exe");
    run.Run();
    EXPECT_TRUE(run.Logged(L"  Eski CorvaneDB servisi tespit edildi: E:\\EskiDB")) << run.LogText();
    EXPECT_TRUE(
        run.Logged(L"  Eski servis kaldırıldı - CorvaneOrtakData yolundan yeniden kurulacak"));
    const std::wstring image = ServiceImagePath(L"CorvaneDB");
    EXPECT_NE(image.find(kOrtak + L"\\my.ini"), std::wstring::npos) << image;
    EXPECT_EQ(run.Engine().GetMevcutServisYolu(), kOrtak);
}

} // namespace

namespace {

// Puts the recording netsh.exe in the prefix's System32, where the setup takes its tools from,
// in place of Wine's own (which the loader would prefer without the override), for the test.
class TRecordingNetsh {
public:
    TRecordingNetsh() {
        const std::wstring standins = StandinsDir();
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        FFolder = system;
        DeleteFileW((FFolder + L"\\rules.txt").c_str());
        DeleteFileW((FFolder + L"\\calls.txt").c_str());
        const std::wstring netsh = FFolder + L"\\netsh.exe";
        CopyFileW(netsh.c_str(), (netsh + L".wine").c_str(), FALSE);
        CopyFileW((standins.substr(0, standins.find_last_of(L'\\')) + L"\\netsh-standin\\netsh.exe")
                      .c_str(),
                  netsh.c_str(), FALSE);
        // Wine's own override list in the prefix: each new process reads it when it starts.
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            const wchar_t order[] = L"native,builtin";
            RegSetValueExW(key, L"netsh.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                           sizeof(order));
            RegCloseKey(key);
        }
    }
    ~TRecordingNetsh() {
        const std::wstring netsh = FFolder + L"\\netsh.exe";
        CopyFileW((netsh + L".wine").c_str(), netsh.c_str(), FALSE);
        DeleteFileW((netsh + L".wine").c_str());
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"netsh.exe");
    }
    TRecordingNetsh(const TRecordingNetsh&) = delete;
    TRecordingNetsh& operator=(const TRecordingNetsh&) = delete;
    std::vector<std::string> Lines(const wchar_t* file) const {
        std::vector<std::string> out;
        const std::string text = FileBytes(FFolder + L"\\" + file);
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t end = text.find('\n', pos);
            out.push_back(text.substr(pos, end - pos));
            pos = end == std::string::npos ? text.size() : end + 1;
        }
        return out;
    }

private:
    std::wstring FFolder;
};

TEST_F(EngineInstall, RepeatedInstallationsAddTheDatabaseRuleAgainButKeepOneServicePortRule) {
    TRecordingNetsh netsh;
    for (int i = 0; i < 2; ++i) {
        TEngineRun run;
        Configure(run.Engine(), false);
        run.Engine().SetOptFirewall(true);
        ASSERT_TRUE(run.Run()) << run.LogText();
    }
    const std::string addDb = "advfirewall firewall add rule name=\"CorvaneDB\" dir=in "
                              "action=allow protocol=tcp localport=3307";
    const std::string delSync = "advfirewall firewall delete rule name=\"CorvaneMarketSync\"";
    const std::string addSync = "advfirewall firewall add rule name=\"CorvaneMarketSync\" dir=in "
                                "action=allow protocol=tcp localport=4002";
    EXPECT_EQ(netsh.Lines(L"calls.txt"),
              (std::vector<std::string>{addDb, delSync, addSync, addDb, delSync, addSync}));
    EXPECT_EQ(netsh.Lines(L"rules.txt"),
              (std::vector<std::string>{"CorvaneDB\t" + addDb, "CorvaneDB\t" + addDb,
                                        "CorvaneMarketSync\t" + addSync}));
}

} // namespace
