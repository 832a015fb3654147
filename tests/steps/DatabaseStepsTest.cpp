// The database steps against a scripted host and the prefix's real drives: the files they
// write byte for byte, the commands they run, and their branches.
#include "StepFixture.h"
#include "HostTestSupport.h"
#include "uHardening.h"

#include "uWin32Seam.h"
#include "uFileUtil.h"

#include <sddl.h>

using TLines = std::vector<std::wstring>;

namespace {

const std::string kMyIniD = "[mysqld]\r\n"
                            "datadir=D:/CorvaneOrtakData/Data\r\n"
                            "port=3307\r\n"
                            "bind-address=0.0.0.0\r\n"
                            "character-set-server=utf8mb4\r\n"
                            "collation-server=utf8mb4_turkish_ci\r\n"
                            "innodb_buffer_pool_size=128M\r\n"
                            "max_connections=50\r\n"
                            "lower_case_table_names=1\r\n"
                            "skip-name-resolve\r\n"
                            "[client]\r\n"
                            "port=3307\r\n";

// ---------------------------------------------------------------------------------------------
// The text-file writer

TEST(TextFileWriter, LinesEndInCrLfInTheAnsiCodePageWithoutByteOrderMark) {
    RemoveTree(L"D:\\yazici");
    CreateDirectoryW(L"D:\\yazici", nullptr);
    WriteTextFile(L"D:\\yazici\\a.txt", {L"bir", L"", L"Gül ve é"}, 1252);
    EXPECT_EQ(ReadBytes(L"D:\\yazici\\a.txt"), "bir\r\n\r\nG\xFCl ve \xE9\r\n");
    // The active code page of this prefix is 1252: the default gives the same bytes.
    WriteTextFile(L"D:\\yazici\\b.txt", {L"bir", L"", L"Gül ve é"});
    EXPECT_EQ(ReadBytes(L"D:\\yazici\\b.txt"), ReadBytes(L"D:\\yazici\\a.txt"));
    RemoveTree(L"D:\\yazici");
}

TEST(TextFileWriter, Utf8CodePageWritesAByteOrderMark) {
    RemoveTree(L"D:\\yazici");
    CreateDirectoryW(L"D:\\yazici", nullptr);
    WriteTextFile(L"D:\\yazici\\u.txt", {L"ğ", L"x"}, CP_UTF8);
    EXPECT_EQ(ReadBytes(L"D:\\yazici\\u.txt"), "\xEF\xBB\xBF\xC4\x9F\r\nx\r\n");
    RemoveTree(L"D:\\yazici");
}

TEST(TextFileWriter, ReplacesALongerFileWhole) {
    RemoveTree(L"D:\\yazici");
    CreateDirectoryW(L"D:\\yazici", nullptr);
    WriteBytes(L"D:\\yazici\\r.txt", std::string(5000, 'x'));
    WriteTextFile(L"D:\\yazici\\r.txt", {L"kisa"});
    EXPECT_EQ(ReadBytes(L"D:\\yazici\\r.txt"), "kisa\r\n");
    RemoveTree(L"D:\\yazici");
}

TEST(TextFileWriter, UncreatableFileRaisesWithPathAndSystemText) {
    try {
        WriteTextFile(L"D:\\yok\\klasor\\my.ini", {L"x"});
        FAIL() << "no error";
    } catch (const ESetupError& e) {
        const std::wstring expectedStart = L"Cannot create file \"D:\\yok\\klasor\\my.ini\". ";
        EXPECT_EQ(e.Message().substr(0, expectedStart.size()), expectedStart);
        EXPECT_GT(e.Message().size(), expectedStart.size()) << "system text missing";
        EXPECT_NE(e.Message().back(), L'\n');
    }
}

// ---------------------------------------------------------------------------------------------
// Folders and my.ini

TEST_F(StepTest, CreateFoldersMakesTheFourFoldersAndSaysTheSameOnASecondRun) {
    engine->SetDbDrive(L"E");
    Step("CreateFolders");
    for (const auto* dir : {L"E:\\CorvaneOrtakData", L"E:\\CorvaneOrtakData\\Data",
                            L"E:\\CorvaneOrtakData\\mariadb\\logs", L"D:\\CorvaneZideroZur\\logs"})
        EXPECT_TRUE(DirectoryExists(dir)) << dir;
    const TLines expected = {L"[3/14] Klasörler oluşturuluyor...",
                             L"  OrtakData: E:\\CorvaneOrtakData", L"  OK"};
    EXPECT_EQ(Logs(), expected);
    Step("CreateFolders");
    const TLines twice = Logs();
    ASSERT_EQ(twice.size(), 6u);
    EXPECT_EQ(TLines(twice.begin() + 3, twice.end()), expected);
}

TEST_F(StepTest, MyIniIsByteExactOnDriveD) {
    Step("CreateFolders");
    Step("WriteMyIni");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneOrtakData\\my.ini"), kMyIniD);
    const TLines logs = Logs();
    EXPECT_EQ(TLines(logs.end() - 2, logs.end()), (TLines{L"[4/14] my.ini...", L"  OK"}));
    EXPECT_EQ(journal.Only(L"cmd|"), (TLines{L"sc query CorvaneDB|5000"}));
}

TEST_F(StepTest, MyIniOnDriveENamesTheDataFolderOfE) {
    engine->SetDbDrive(L"E");
    Step("CreateFolders");
    Step("WriteMyIni");
    std::string expected = kMyIniD;
    expected.replace(expected.find("D:/"), 3, "E:/");
    EXPECT_EQ(ReadBytes(L"E:\\CorvaneOrtakData\\my.ini"), expected);
    EXPECT_FALSE(FileExists(L"D:\\CorvaneOrtakData\\my.ini"));
}

TEST_F(StepTest, MyIniRemovesConflictingCopiesMariadbFirstAndOnlyOnce) {
    Step("CreateFolders");
    WriteBytes(L"D:\\CorvaneOrtakData\\mariadb\\my.ini", "[mysqld]\r\nport=3306\r\n");
    WriteBytes(L"D:\\CorvaneOrtakData\\Data\\my.ini", "[mysqld]\r\n");
    Step("WriteMyIni");
    const std::string first = ReadBytes(L"D:\\CorvaneOrtakData\\my.ini");
    EXPECT_FALSE(FileExists(L"D:\\CorvaneOrtakData\\mariadb\\my.ini"));
    EXPECT_FALSE(FileExists(L"D:\\CorvaneOrtakData\\Data\\my.ini"));
    TLines logs = Logs();
    EXPECT_EQ(TLines(logs.end() - 4, logs.end()),
              (TLines{L"[4/14] my.ini...", L"  mariadb\\my.ini silindi (cakisma onleme)",
                      L"  Data\\my.ini silindi (cakisma onleme)", L"  OK"}));
    Step("WriteMyIni");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneOrtakData\\my.ini"), first);
    logs = Logs();
    EXPECT_EQ(TLines(logs.end() - 2, logs.end()), (TLines{L"[4/14] my.ini...", L"  OK"}));
}

TEST_F(StepTest, MyIniOfARegisteredDatabaseIsLeftAlone) {
    Step("CreateFolders");
    WriteBytes(L"D:\\CorvaneOrtakData\\my.ini", "eski");
    WriteBytes(L"D:\\CorvaneOrtakData\\mariadb\\my.ini", "eski2");
    host->CmdResults[L"sc query CorvaneDB"] = 0;
    const size_t before = Logs().size();
    Step("WriteMyIni");
    const TLines logs = Logs();
    EXPECT_EQ(TLines(logs.begin() + before, logs.end()),
              (TLines{L"[4/14] my.ini...", L"  CorvaneDB zaten çalışıyor - my.ini yazilmiyor",
                      L"  (Mevcut MariaDB ayarlari kullanilacak)"}));
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneOrtakData\\my.ini"), "eski");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneOrtakData\\mariadb\\my.ini"), "eski2");
}

TEST_F(StepTest, MyIniIsWrittenWhenScQueryTimesOutOrCannotStart) {
    for (int result : {259, -1}) {
        Clean();
        host->CmdResults[L"sc query CorvaneDB"] = result;
        Step("CreateFolders");
        Step("WriteMyIni");
        EXPECT_EQ(ReadBytes(L"D:\\CorvaneOrtakData\\my.ini"), kMyIniD) << result;
    }
}

TEST_F(StepTest, MyIniInAMissingFolderFailsWithTheFileCreationError) {
    try {
        Step("WriteMyIni");
        FAIL() << "no error";
    } catch (const ESetupError& e) {
        EXPECT_EQ(e.Message().rfind(L"Cannot create file \"D:\\CorvaneOrtakData\\my.ini\". ", 0),
                  0u);
    }
    EXPECT_NE(Logs().back(), L"  OK");
}

// ---------------------------------------------------------------------------------------------
// pos-config.json

const std::string kTillConfig = "{\r\n"
                                "  \"provider\": \"mysql\",\r\n"
                                "  \"host\": \"127.0.0.1\",\r\n"
                                "  \"port\": 3307,\r\n"
                                "  \"database\": \"corvaneposdb\",\r\n"
                                "  \"user\": \"root\",\r\n"
                                "  \"password\": \"kelmor482\"\r\n"
                                "}\r\n";
const std::string kServiceConfig = "{\r\n"
                                   "  \"provider\": \"mysql\",\r\n"
                                   "  \"host\": \"127.0.0.1\",\r\n"
                                   "  \"port\": 3307,\r\n"
                                   "  \"database\": \"corvaneposdb\",\r\n"
                                   "  \"user\": \"root\",\r\n"
                                   "  \"password\": \"kelmor482\",\r\n"
                                   "  \"server_port\": 4002\r\n"
                                   "}\r\n";

TEST_F(StepTest, ConfigFilesForTillAndServiceAreByteExactAndReplaceUserEdits) {
    CreateDirectoryW(L"D:\\kaynak", nullptr);
    CreateDirectoryW(L"D:\\kaynak\\CorvaneMarketServis", nullptr);
    CreateDirectoryW(L"D:\\CorvaneZideroZur", nullptr);
    WriteBytes(L"D:\\CorvaneZideroZur\\pos-config.json", std::string(400, ' ') + "{\"host\":\"x\"}");
    engine->SetSourceDir(L"D:\\kaynak");
    Step("WriteConfigFiles");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\pos-config.json"), kTillConfig);
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\pos-config.json"),
              kServiceConfig);
    EXPECT_EQ(Logs(), (TLines{L"[5/14] Config dosyaları...", L"  pos-config.json...", L"    OK",
                              L"  CorvaneMarketServis\\pos-config.json...", L"    OK",
                              L"  Tüm config dosyaları oluşturuldu"}));
}

TEST_F(StepTest, ConfigFileForTheServiceOnlyWhenItsFolderIsInThePayloadOrInstalled) {
    CreateDirectoryW(L"D:\\kaynak", nullptr);
    CreateDirectoryW(L"D:\\CorvaneZideroZur", nullptr);
    engine->SetSourceDir(L"D:\\kaynak");
    Step("WriteConfigFiles");
    EXPECT_FALSE(FileExists(L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\pos-config.json"));
    EXPECT_EQ(Logs(), (TLines{L"[5/14] Config dosyaları...", L"  pos-config.json...", L"    OK",
                              L"  Tüm config dosyaları oluşturuldu"}));
    // Installed by an earlier run, absent from this payload: still written.
    CreateDirectoryW(L"D:\\CorvaneZideroZur\\CorvaneMarketServis", nullptr);
    Step("WriteConfigFiles");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\pos-config.json"),
              kServiceConfig);
}

TEST_F(StepTest, ConfigFileInAMissingInstallationFolderFailsBeforeTheSecondFile) {
    CreateDirectoryW(L"D:\\kaynak", nullptr);
    CreateDirectoryW(L"D:\\kaynak\\CorvaneMarketServis", nullptr);
    engine->SetSourceDir(L"D:\\kaynak");
    EXPECT_THROW(Step("WriteConfigFiles"), ESetupError);
    EXPECT_FALSE(DirectoryExists(L"D:\\CorvaneZideroZur\\CorvaneMarketServis"));
    EXPECT_EQ(Logs().back(), L"  pos-config.json...");
}

// Windows refuses CREATE_ALWAYS over a read-only file, and over a hidden or system one unless
// the call asks for the same attributes; Wine replaces them all.
HANDLE WINAPI StrictCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE templ) {
    const DWORD existing = GetFileAttributesW(path);
    const DWORD wanted = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (disposition == CREATE_ALWAYS && existing != INVALID_FILE_ATTRIBUTES &&
        ((existing & FILE_ATTRIBUTE_READONLY) || (existing & wanted & ~flags))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, share, sa, disposition, flags, templ);
}

TEST_F(StepTest, MyIniAndConfigFilesReplaceReadOnlyHiddenAndSystemVersions) {
    struct TSeamReset {
        ~TSeamReset() { ResetWin32Seam(); }
    } reset;
    vpfnCreateFileW = StrictCreateFileW;
    const DWORD protecting =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    Step("CreateFolders");
    CreateDirectoryW(L"D:\\kaynak", nullptr);
    CreateDirectoryW(L"D:\\kaynak\\CorvaneMarketServis", nullptr);
    CreateDirectoryW(L"D:\\CorvaneZideroZur\\CorvaneMarketServis", nullptr);
    engine->SetSourceDir(L"D:\\kaynak");
    const std::pair<const wchar_t*, DWORD> files[] = {
        {L"D:\\CorvaneOrtakData\\my.ini", FILE_ATTRIBUTE_READONLY},
        {L"D:\\CorvaneZideroZur\\pos-config.json", FILE_ATTRIBUTE_HIDDEN},
        {L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\pos-config.json",
         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY}};
    for (const auto& [path, attributes] : files) {
        WriteBytes(path, "edited by hand");
        SetFileAttributesW(path, attributes);
    }
    Step("WriteMyIni");
    Step("WriteConfigFiles");
    EXPECT_EQ(ReadBytes(files[0].first), kMyIniD);
    EXPECT_EQ(ReadBytes(files[1].first), kTillConfig);
    EXPECT_EQ(ReadBytes(files[2].first), kServiceConfig);
    for (const auto& [path, attributes] : files)
        EXPECT_EQ(GetFileAttributesW(path) & protecting, 0u) << "a plain file now";
}

// ---------------------------------------------------------------------------------------------
// Database initialisation and service

void MakeFile(const std::wstring& path) { WriteBytes(path, "MZ"); }

class DatabaseProgramsTest : public StepTest {
protected:
    void SetUp() override {
        StepTest::SetUp();
        Step("CreateFolders");
        ForceDirectories(L"D:\\CorvaneOrtakData\\mariadb\\bin");
        journal.Clear();
    }
    void Unregister() { UnregisterService(L"CorvaneDB"); }
    // A CorvaneDB registration as the database server's --install leaves it.
    void RegisterService(const std::wstring& imagePath) {
        ASSERT_TRUE(::RegisterService(L"CorvaneDB", imagePath, SERVICE_AUTO_START));
        host->CmdResults[L"sc query CorvaneDB"] = 0;
    }
    void TearDown() override {
        Unregister();
        StepTest::TearDown();
    }
};

TEST_F(DatabaseProgramsTest, InitRunsTheInitialiserOnceAndRemovesTheMyIniItLeaves) {
    MakeFile(L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadb-install-db.exe");
    host->OnCall = [](const std::wstring& entry) {
        if (entry.rfind(L"exe|", 0) == 0) // the initialiser leaves a my.ini in the data folder
            WriteBytes(L"D:\\CorvaneOrtakData\\Data\\my.ini", "[mysqld]\r\n");
    };
    Step("InitMariaDB");
    EXPECT_EQ(journal.Only(L"exe|"),
              (TLines{L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadb-install-db.exe|"
                      L"--datadir=\"D:\\CorvaneOrtakData\\Data\" --password=kelmor482|60000"}));
    EXPECT_EQ(Logs(), (TLines{L"[6/14] MariaDB init...", L"  OK",
                              L"  Data\\my.ini silindi (mariadb-install-db tarafindan "
                              L"olusturulmustu)"}));
    EXPECT_FALSE(FileExists(L"D:\\CorvaneOrtakData\\Data\\my.ini"));
}

TEST_F(DatabaseProgramsTest, InitSkipsARegisteredServiceAndAnInitialisedDataFolder) {
    host->CmdResults[L"sc query CorvaneDB"] = 0;
    Step("InitMariaDB");
    EXPECT_EQ(Logs(), (TLines{L"[6/14] MariaDB init...",
                              L"  CorvaneDB zaten çalışıyor - MariaDB init atlanıyor"}));
    host->CmdResults[L"sc query CorvaneDB"] = 1060;
    CreateDirectoryW(L"D:\\CorvaneOrtakData\\Data\\mysql", nullptr);
    Step("InitMariaDB");
    EXPECT_EQ(Logs().back(), L"  Data\\mysql mevcut - atlanıyor");
    EXPECT_EQ(journal.Count(L"exe|"), 0);
}

TEST_F(DatabaseProgramsTest, InitWithoutTheInitialiserFails) {
    try {
        Step("InitMariaDB");
        FAIL() << "no error";
    } catch (const ESetupError& e) {
        EXPECT_EQ(e.Message(), L"mariadb-install-db.exe bulunamadı: "
                               L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadb-install-db.exe");
    }
}

TEST_F(DatabaseProgramsTest, NewServiceIsInstalledSetToAutoStartedAndVerified) {
    MakeFile(L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe");
    host->OnCall = [this](const std::wstring& entry) {
        if (entry.rfind(L"cmd|net start", 0) == 0) // registered from now on
            host->CmdResults[L"sc query CorvaneDB"] = 0;
    };
    Step("InstallDBService");
    const TLines calls = [&] {
        TLines c;
        for (const auto& e : journal.Entries())
            if (e.rfind(L"log|", 0) != 0)
                c.push_back(e);
        return c;
    }();
    EXPECT_EQ(calls,
              (TLines{L"cmd|sc query CorvaneDB|5000",
                      L"exe|D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe|--install CorvaneDB "
                      L"--defaults-file=\"D:\\CorvaneOrtakData\\my.ini\"|10000",
                      L"sleep|1000", L"cmd|sc config CorvaneDB start= auto|3000",
                      L"cmd|net start CorvaneDB|15000", L"sleep|8000",
                      L"cmd|sc query CorvaneDB|5000"}));
    EXPECT_EQ(Logs(), (TLines{L"[7/14] CorvaneDB servisi...",
                              L"  CorvaneDB servisi bulunamadı - yeni kurulum",
                              L"  mariadbd --install (CorvaneOrtakData)...",
                              L"  Servis başlatılıyor...", L"  8sn bekleniyor...",
                              L"  OK - CorvaneDB çalışıyor (D:\\CorvaneOrtakData)"}));
}

TEST_F(DatabaseProgramsTest, ServiceThatCannotBeVerifiedGivesAWarning) {
    MakeFile(L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe");
    Step("InstallDBService");
    EXPECT_EQ(Logs().back(), L"  ! UYARI: Servis durumu doğrulanamadı");
}

TEST_F(DatabaseProgramsTest, ServiceOfThisFolderInAnyCaseIsLeftAlone) {
    for (const auto* image :
         {L"\"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe\" "
          L"\"--defaults-file=D:\\CorvaneOrtakData\\my.ini\" \"CorvaneDB\"",
          L"d:\\corvaneortakdata\\mariadb\\bin\\mariadbd.exe --defaults-file=d:\\CORVANEORTAKDATA\\my.ini",
          L"x.exe --defaults-file=\"D:\\CorvaneOrtakData\\\\my.ini\""}) {
        journal.Clear();
        RegisterService(image);
        Step("InstallDBService");
        ASSERT_EQ(Logs().size(), 4u) << image;
        EXPECT_EQ(Logs()[1], L"  CorvaneDB servisi zaten CorvaneOrtakData yolunda kurulu");
        EXPECT_EQ(Logs()[2].rfind(L"  Konum: ", 0), 0u);
        EXPECT_EQ(Logs()[3], L"  OK");
        EXPECT_EQ(journal.Only(L"cmd|"), (TLines{L"sc query CorvaneDB|5000"})) << image;
    }
}

TEST_F(DatabaseProgramsTest, ServiceOfAnotherFolderIsStoppedDeletedAndRegisteredAnew) {
    MakeFile(L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe");
    RegisterService(L"\"C:\\mariadb\\bin\\mariadbd.exe\" \"--defaults-file=C:\\eski\\my.ini\" "
                    L"\"CorvaneDB\"");
    Step("InstallDBService");
    const TLines logs = Logs();
    ASSERT_GE(logs.size(), 5u);
    EXPECT_EQ(TLines(logs.begin(), logs.begin() + 5),
              (TLines{L"[7/14] CorvaneDB servisi...",
                      L"  Eski CorvaneDB servisi tespit edildi: C:\\eski", L"  Durduruluyor...",
                      L"  Siliniyor...",
                      L"  Eski servis kaldırıldı - CorvaneOrtakData yolundan yeniden kurulacak"}));
    const TLines all = journal.Entries();
    const TLines replace = {L"cmd|net stop CorvaneDB|15000", L"sleep|2000",
                            L"log|  Siliniyor...", L"cmd|sc delete CorvaneDB|10000",
                            L"sleep|3000"};
    EXPECT_NE(std::search(all.begin(), all.end(), replace.begin(), replace.end()), all.end());
    EXPECT_EQ(journal.Count(L"exe|D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe|--install"), 1);
}

TEST_F(DatabaseProgramsTest, RegisteredServiceWithoutAFolderIsTreatedAsForeign) {
    RegisterService(L"C:\\Program Files\\MariaDB\\bin\\mysqld.exe MySQL");
    try {
        Step("InstallDBService");
        FAIL() << "the server program is missing";
    } catch (const ESetupError& e) {
        EXPECT_EQ(e.Message(),
                  L"mariadbd.exe bulunamadı: D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe");
    }
    EXPECT_EQ(Logs()[1], L"  Eski CorvaneDB servisi tespit edildi: ");
    EXPECT_EQ(journal.Count(L"cmd|sc delete CorvaneDB"), 1) << "the old service is gone anyway";
}

// ---------------------------------------------------------------------------------------------
// Firewall, demo data, remote access

TEST_F(StepTest, FirewallAddsTheDatabaseRuleAndReplacesTheServiceRule) {
    Step("ConfigureFirewall");
    EXPECT_EQ(journal.Entries(),
              (TLines{L"log|[8/14] Firewall...", L"log|  CorvaneDB firewall kuralı ekleniyor...",
                      L"cmd|netsh advfirewall firewall add rule name=\"CorvaneDB\" dir=in "
                      L"action=allow protocol=tcp localport=3307|5000",
                      L"log|  OK - Port 3307 (MariaDB)",
                      L"cmd|netsh advfirewall firewall delete rule name=\"CorvaneMarketSync\"|3000",
                      L"cmd|netsh advfirewall firewall add rule name=\"CorvaneMarketSync\" dir=in "
                      L"action=allow protocol=tcp localport=4002|5000",
                      L"log|  OK - Port 4002 (CorvaneMarketServis)"}));
}

TEST_F(StepTest, DemoDataOnlySaysItIsNotActive) {
    Step("LoadDemoData");
    EXPECT_EQ(journal.Entries(),
              (TLines{L"log|[10/14] Demo veriler...",
                      L"log|  (Corvane Market Pos icin demo veri yuklemesi aktif degil)",
                      L"log|  OK"}));
}

TEST_F(StepTest, RemoteAccessHandsTheScriptToTheClientAndRemovesIt) {
    engine->SetDbDrive(L"E");
    Step("CreateFolders");
    std::string scriptAtRun;
    host->OnCall = [&scriptAtRun](const std::wstring& entry) {
        if (entry.rfind(L"exe|", 0) == 0)
            scriptAtRun = ReadBytes(L"E:\\CorvaneOrtakData\\mariadb\\setup-remote.sql");
    };
    // Wine keeps no DACL on files: what the file was created with is read from the call.
    static std::vector<std::vector<BYTE>> asked;
    asked.clear();
    const auto real = vpfnCreateFileW;
    vpfnCreateFileW = [](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                         DWORD disposition, DWORD flags, HANDLE model) {
        asked.push_back(DescriptorBytes(sa));
        return CreateFileW(name, access, share, sa, disposition, flags, model);
    };
    // Left by someone else at the name: replaced, not written into.
    WriteBytes(L"E:\\CorvaneOrtakData\\mariadb\\setup-remote.sql", std::string(4000, 'x'));
    Step("ConfigureRemoteAccess");
    vpfnCreateFileW = real;
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(OnlySystemAndAdministrators(asked[0]));
    EXPECT_EQ(journal.Only(L"exe|"),
              (TLines{L"E:\\CorvaneOrtakData\\mariadb\\bin\\mariadb.exe|-h 127.0.0.1 -u root -P "
                      L"3307 -pkelmor482 -e \"SOURCE "
                      L"E:/CorvaneOrtakData/mariadb/setup-remote.sql\"|10000"}));
    EXPECT_EQ(scriptAtRun,
              "CREATE USER IF NOT EXISTS 'root'@'%' IDENTIFIED BY 'kelmor482';\r\n"
              "GRANT ALL PRIVILEGES ON *.* TO 'root'@'%' WITH GRANT OPTION;\r\n"
              "CREATE USER IF NOT EXISTS 'root'@'192.168.%' IDENTIFIED BY 'kelmor482';\r\n"
              "GRANT ALL PRIVILEGES ON *.* TO 'root'@'192.168.%' WITH GRANT OPTION;\r\n"
              "CREATE USER IF NOT EXISTS 'root'@'10.%' IDENTIFIED BY 'kelmor482';\r\n"
              "GRANT ALL PRIVILEGES ON *.* TO 'root'@'10.%' WITH GRANT OPTION;\r\n"
              "CREATE USER IF NOT EXISTS 'root'@'172.%' IDENTIFIED BY 'kelmor482';\r\n"
              "GRANT ALL PRIVILEGES ON *.* TO 'root'@'172.%' WITH GRANT OPTION;\r\n"
              "FLUSH PRIVILEGES;\r\n");
    EXPECT_EQ(journal.Only(L"sleep|"), (TLines{L"2000"}));
    EXPECT_FALSE(FileExists(L"E:\\CorvaneOrtakData\\mariadb\\setup-remote.sql"));
    EXPECT_EQ(Logs().back(), L"  OK - Uzak erişim hazırlandı");
}

TEST_F(StepTest, RemoteAccessWithoutTheDatabaseFolderFailsBeforeRunningTheClient) {
    EXPECT_THROW(Step("ConfigureRemoteAccess"), ESetupError);
    EXPECT_EQ(journal.Count(L"exe|"), 0);
}

// ---------------------------------------------------------------------------------------------
// The installation's folders: protected DACL, links and foreign owners refused. Wine keeps no
// DACL and owns every file by the user running it: the security asked for is read from the
// seam, and a foreign owner is put in through it.

std::vector<std::pair<std::wstring, std::wstring>> gFolderSd; // folder, DACL as SDDL

std::wstring DaclText(PSECURITY_DESCRIPTOR sd) {
    wchar_t* text = nullptr;
    if (!sd || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                   sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"?";
    std::wstring s = text;
    LocalFree(text);
    return s;
}

std::wstring Canonical(const wchar_t* sddl) {
    TPrivateSecurity sec(sddl);
    return DaclText(sec.Descriptor());
}

DWORD WINAPI ForeignOwner(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*,
                          PACL*, PSECURITY_DESCRIPTOR* sd) {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:S-1-5-21-7-7-7-1001D:",
                                                         SDDL_REVISION_1, sd, nullptr);
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(*sd, owner, &defaulted);
    return ERROR_SUCCESS;
}

class ProtectedFolders : public StepTest {
protected:
    void SetUp() override {
        StepTest::SetUp();
        RemoveTree(L"E:\\baska");
        ForceDirectories(L"D:\\kaynak");
        WriteBytes(L"D:\\kaynak\\CorvaneZideroZUR.exe", "MZ till");
        engine->SetSourceDir(L"D:\\kaynak");
        gFolderSd.clear();
        vpfnCreateDirectoryW = [](LPCWSTR name, LPSECURITY_ATTRIBUTES sa) -> BOOL {
            gFolderSd.emplace_back(name, DaclText(sa ? sa->lpSecurityDescriptor : nullptr));
            return CreateDirectoryW(name, sa);
        };
        vpfnSetSecurityInfo = [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID, PSID,
                                 PACL dacl, PACL) -> DWORD {
            SECURITY_DESCRIPTOR sd;
            InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
            SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
            if (what & PROTECTED_DACL_SECURITY_INFORMATION)
                SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
            gFolderSd.emplace_back(L"(existing)", DaclText(&sd));
            return ERROR_SUCCESS;
        };
    }
    void TearDown() override {
        ResetWin32Seam();
        RemoveTree(L"E:\\baska");
        StepTest::TearDown();
    }
    std::wstring Refusal(const char* step) {
        try {
            Step(step);
        } catch (const ESetupError& e) {
            return e.Message();
        }
        return L"(no error)";
    }
};

TEST_F(ProtectedFolders, NewAndExistingFoldersGetTheProtectedDacl) {
    ForceDirectories(L"D:\\CorvaneOrtakData"); // left by an earlier version: given it again
    Step("CopyFiles");
    const std::wstring dacl = Canonical(PROTECTED_FOLDER_SDDL);
    EXPECT_EQ(dacl, Canonical(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"));
    const std::vector<std::pair<std::wstring, std::wstring>> expect = {
        {L"D:\\CorvaneZideroZur", dacl},
        {L"D:\\CorvaneOrtakData", dacl}, // refused: it exists
        {L"(existing)", dacl},
        {L"D:\\CorvaneOrtakData\\Data", dacl},
        {L"D:\\CorvaneOrtakData\\mariadb", dacl}};
    EXPECT_EQ(gFolderSd, expect);
}

TEST_F(ProtectedFolders, LinksAndForeignOwnedFoldersAreRefusedAndNothingWrittenThrough) {
    // On E:, which the tests after this one leave alone: Wine's link may outlive the test.
    engine->SetDbDrive(L"E");
    ForceDirectories(L"E:\\baska");
    ASSERT_TRUE(MakeFolderLink(L"E:\\CorvaneOrtakData", L"E:\\baska"));
    std::wstring msg = Refusal("CopyFiles");
    EXPECT_EQ(msg, L"Klasör bir bağlantı (junction ya da sembolik bağ), kullanılmadı: "
                   L"E:\\CorvaneOrtakData");
    EXPECT_TRUE(ListEntries(L"E:\\baska\\*").empty()) << "written through the link";
    engine->SetDbDrive(L"D");

    vpfnGetSecurityInfo = ForeignOwner;
    for (const char* step : {"CopyFiles", "PreflightCheck"}) {
        msg = Refusal(step);
        EXPECT_EQ(msg, L"Klasörün sahibi SYSTEM, Administrators ya da TrustedInstaller değil "
                       L"(S-1-5-21-7-7-7-1001), kullanılmadı: D:\\CorvaneZideroZur")
            << step;
    }
    EXPECT_TRUE(ListEntries(L"D:\\CorvaneZideroZur\\*").empty()) << "written into it";
    EXPECT_FALSE(DirectoryExists(L"D:\\CorvaneOrtakData"));
}

TEST_F(ProtectedFolders, TillSettingsStayWritableForUsers) {
    static std::vector<std::wstring> granted;
    vpfnSetNamedSecurityInfoW = [](LPWSTR name, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID,
                                   PSID, PACL dacl, PACL) -> DWORD {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
        granted.push_back(std::wstring(name) + L"|" + DaclText(&sd) +
                          ((what & UNPROTECTED_DACL_SECURITY_INFORMATION) ? L"|inherits" : L""));
        return ERROR_SUCCESS;
    };
    ForceDirectories(L"D:\\CorvaneZideroZur");
    Step("WriteConfigFiles");
    EXPECT_EQ(granted, (TLines{L"D:\\CorvaneZideroZur\\pos-config.json|" +
                               Canonical(L"D:(A;;0x12019f;;;BU)") + L"|inherits"}));
}

} // namespace
