// The application steps on the real host: the three copy modes against real files (locked ones
// included) with the waits recorded, the back-office service's branches, the shortcut and the
// uninstall entry.
#include "StepFixture.h"

#include "../host/HostTestSupport.h"
#include "steps/uAppRegistration.h"
#include "uFileUtil.h"

using TLines = std::vector<std::wstring>;

namespace {

// A file held open without sharing: copies onto it fail with a sharing violation.
class TLock {
public:
    explicit TLock(const std::wstring& path)
        : FHandle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        EXPECT_NE(FHandle, INVALID_HANDLE_VALUE) << "cannot lock test file";
    }
    ~TLock() { Release(); }
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;
    void Release() {
        if (FHandle != INVALID_HANDLE_VALUE)
            CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE FHandle;
};

// Engine on the real host (sleeps recorded), source in D:\kaynak, installation in
// D:\CorvaneZideroZur, database drive D.
class RealHostStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        StepTest::Clean();
        auto h = std::make_unique<TRecordingHost>();
        host = h.get();
        engine = std::make_unique<TSetupEngine>(std::move(h));
        BindEvents(*engine, journal);
        engine->SetInstallDir(L"D:\\CorvaneZideroZur");
        engine->SetDbDrive(L"D");
        engine->SetSourceDir(L"D:\\kaynak");
        ForceDirectories(L"D:\\kaynak");
    }
    void TearDown() override {
        engine.reset();
        StepTest::Clean();
    }
    void Step(const std::string& name) { TSetupEngineTestAccess::Step(*engine, name); }
    TLines Logs() const { return journal.Only(L"log|"); }
    bool Logged(const std::wstring& line) const {
        const TLines l = Logs();
        return std::find(l.begin(), l.end(), line) != l.end();
    }
    std::wstring Error(const std::string& step) {
        try {
            Step(step);
        } catch (const ESetupError& e) {
            return e.Message();
        }
        return L"(no error)";
    }

    TJournal journal;
    TRecordingHost* host = nullptr;
    std::unique_ptr<TSetupEngine> engine;
};

// ---------------------------------------------------------------------------------------------
// Full update

class FullUpdateCopy : public RealHostStepTest {
protected:
    void SetUp() override {
        RealHostStepTest::SetUp();
        TSetupEngineTestAccess::SetUpdateMode(*engine, true, true);
        // Installed: data, database programs, connection file, an old program.
        ForceDirectories(L"D:\\CorvaneZideroZur\\Data");
        ForceDirectories(L"D:\\CorvaneZideroZur\\mariadb");
        ForceDirectories(L"D:\\CorvaneZideroZur\\CorvaneMarketServis");
        WriteBytes(L"D:\\CorvaneZideroZur\\Data\\satis.db", "installed data");
        WriteBytes(L"D:\\CorvaneZideroZur\\mariadb\\x.txt", "installed db");
        WriteBytes(L"D:\\CorvaneZideroZur\\pos-config.json", "installed config");
        WriteBytes(L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\pos-config.json", "old service");
        WriteBytes(L"D:\\CorvaneZideroZur\\CorvaneCore.dll", "old dll");
        WriteBytes(L"D:\\CorvaneZideroZur\\yalniz-kurulu.txt", "only installed");
        // New payload.
        ForceDirectories(L"D:\\kaynak\\Data");
        ForceDirectories(L"D:\\kaynak\\mariadb");
        ForceDirectories(L"D:\\kaynak\\CorvaneMarketServis");
        WriteBytes(L"D:\\kaynak\\Data\\satis.db", "payload data");
        WriteBytes(L"D:\\kaynak\\mariadb\\x.txt", "payload db");
        WriteBytes(L"D:\\kaynak\\pos-config.json", "payload config");
        WriteBytes(L"D:\\kaynak\\CorvaneMarketServis\\pos-config.json", "new service");
        WriteBytes(L"D:\\kaynak\\CorvaneCore.dll", "new dll");
        WriteBytes(L"D:\\kaynak\\version.json", "{\"version\":\"1.1.0\"}");
    }
};

TEST_F(FullUpdateCopy, ProtectedTopLevelEntriesStayAndEverythingInsideFoldersIsCopied) {
    Step("CopyFiles");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\Data\\satis.db"), "installed data");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\mariadb\\x.txt"), "installed db");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\pos-config.json"), "installed config");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\pos-config.json"),
              "new service");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\CorvaneCore.dll"), "new dll");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\yalniz-kurulu.txt"), "only installed");
    const TLines logs = Logs();
    EXPECT_EQ(TLines(logs.begin(), logs.begin() + 4),
              (TLines{L"[2/14] Dosyalar kopyalanıyor...", L"  Kaynak: D:\\kaynak",
                      L"  [TAM GÜNCELLEME] Dosyalar kopyalanıyor...",
                      L"  Korunan: Data, mariadb, config dosyalari"}));
    EXPECT_TRUE(Logged(L"  [klasor] CorvaneMarketServis"));
    EXPECT_FALSE(Logged(L"  [klasor] Data"));
    EXPECT_FALSE(Logged(L"  [klasor] mariadb"));
    EXPECT_EQ(logs.back(), L"  OK");
}

TEST_F(FullUpdateCopy, LockedTopLevelLibraryFailsAtOnceWithoutRetry) {
    TLock lock(L"D:\\CorvaneZideroZur\\CorvaneCore.dll");
    const std::wstring error = Error("CopyFiles");
    const std::wstring prefix = L"Kritik dosya kopyalanamadı: CorvaneCore.dll - ";
    EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
    EXPECT_GT(error.size(), prefix.size());
    EXPECT_TRUE(host->Sleeps.empty());
}

TEST_F(FullUpdateCopy, LockedTopLevelTextFileIsReportedAndSkipped) {
    WriteBytes(L"D:\\CorvaneZideroZur\\version.json", "old");
    TLock lock(L"D:\\CorvaneZideroZur\\version.json");
    Step("CopyFiles");
    bool reported = false;
    for (const auto& l : Logs())
        reported |= l.rfind(L"  ! version.json: ", 0) == 0;
    EXPECT_TRUE(reported);
    EXPECT_EQ(Logs().back(), L"  OK");
}

// ---------------------------------------------------------------------------------------------
// File update

class FileUpdateCopy : public RealHostStepTest {
protected:
    void SetUp() override {
        RealHostStepTest::SetUp();
        TSetupEngineTestAccess::SetUpdateMode(*engine, true, false);
        ForceDirectories(L"D:\\CorvaneZideroZur");
        WriteBytes(L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe", "old till");
        WriteBytes(L"D:\\kaynak\\CorvaneZideroZUR.exe", std::string(5000, 'N'));
        WriteBytes(L"D:\\kaynak\\CorvaneCore.dll", "must not be copied");
    }
};

TEST_F(FileUpdateCopy, ReplacesOnlyTheTillProgramAndVerifiesItsSize) {
    Step("CopyFiles");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe"), std::string(5000, 'N'));
    EXPECT_FALSE(FileExists(L"D:\\CorvaneZideroZur\\CorvaneCore.dll"));
    EXPECT_EQ(Logs(), (TLines{L"[2/14] Dosyalar kopyalanıyor...", L"  Kaynak: D:\\kaynak",
                              L"  [DOSYA GÜNCELLEME] CorvaneZideroZUR.exe kopyalanıyor...",
                              L"  CorvaneZideroZUR.exe kopyalandı", L"  EXE doğrulandı (4 KB)",
                              L"  OK"}));
}

TEST_F(FileUpdateCopy, LockedTillProgramFailsAfterFiveAttemptsAndTwentySecondsOfWaits) {
    TLock lock(L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe");
    const std::wstring error = Error("CopyFiles");
    const std::wstring prefix = L"CorvaneZideroZUR.exe kopyalanamadı (5 deneme): ";
    EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
    EXPECT_EQ(host->Sleeps, (std::vector<int>{2000, 4000, 6000, 8000}));
    TLines retries;
    for (const auto& l : Logs())
        if (l.rfind(L"  ! EXE kilitli", 0) == 0)
            retries.push_back(l);
    EXPECT_EQ(retries, (TLines{L"  ! EXE kilitli, tekrar deneniyor (1/5)...",
                               L"  ! EXE kilitli, tekrar deneniyor (2/5)...",
                               L"  ! EXE kilitli, tekrar deneniyor (3/5)...",
                               L"  ! EXE kilitli, tekrar deneniyor (4/5)..."}));
    lock.Release();
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe"), "old till");
}

TEST_F(FileUpdateCopy, TillProgramReleasedDuringTheThirdWaitIsCopiedOnAttemptFour) {
    TLock lock(L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe");
    host->OnSleep = [&lock](size_t n) {
        if (n == 3)
            lock.Release();
    };
    Step("CopyFiles");
    EXPECT_EQ(host->Sleeps, (std::vector<int>{2000, 4000, 6000}));
    const TLines logs = Logs();
    EXPECT_EQ(TLines(logs.end() - 4, logs.end()),
              (TLines{L"  ! EXE kilitli, tekrar deneniyor (3/5)...",
                      L"  CorvaneZideroZUR.exe kopyalandı", L"  EXE doğrulandı (4 KB)", L"  OK"}));
}

TEST_F(FileUpdateCopy, MissingSourceTillProgramNamesItsPath) {
    DeleteFileW(L"D:\\kaynak\\CorvaneZideroZUR.exe");
    EXPECT_EQ(Error("CopyFiles"),
              L"Kaynak CorvaneZideroZUR.exe bulunamadı: D:\\kaynak\\CorvaneZideroZUR.exe");
}

// ---------------------------------------------------------------------------------------------
// New installation

TEST_F(RealHostStepTest, NewInstallationCopiesAllButDataAndSendsTheDatabaseProgramsToTheirFolder) {
    ForceDirectories(L"D:\\kaynak\\Data");
    ForceDirectories(L"D:\\kaynak\\mariadb\\bin");
    ForceDirectories(L"D:\\kaynak\\masaustu\\assets");
    WriteBytes(L"D:\\kaynak\\Data\\x.db", "x");
    WriteBytes(L"D:\\kaynak\\mariadb\\bin\\mariadbd.exe", "MZ db");
    WriteBytes(L"D:\\kaynak\\masaustu\\assets\\app.js", "js");
    WriteBytes(L"D:\\kaynak\\pos-config.json", "payload config");
    Step("CopyFiles");
    EXPECT_FALSE(DirectoryExists(L"D:\\CorvaneZideroZur\\Data"));
    EXPECT_FALSE(DirectoryExists(L"D:\\CorvaneZideroZur\\mariadb"));
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe"), "MZ db");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\masaustu\\assets\\app.js"), "js");
    EXPECT_EQ(ReadBytes(L"D:\\CorvaneZideroZur\\pos-config.json"), "payload config");
    EXPECT_TRUE(Logged(L"  [klasor] mariadb -> D:\\CorvaneOrtakData\\mariadb"));
    EXPECT_TRUE(Logged(L"  [klasor] masaustu"));
}

// ---------------------------------------------------------------------------------------------
// Back-office service, shortcut, uninstall entry (against a scripted host where the service
// manager is concerned)

TEST_F(StepTest, AppServiceRegisteredIsRestartedWithoutLookingAtItsProgram) {
    host->CmdResults[L"sc query CorvaneMarketService"] = 0;
    Step("InstallAppService");
    TLines calls;
    for (const auto& e : journal.Entries())
        if (e.rfind(L"log|", 0) != 0)
            calls.push_back(e);
    EXPECT_EQ(calls, (TLines{L"cmd|sc query CorvaneMarketService|5000",
                             L"cmd|net stop CorvaneMarketService|10000", L"sleep|2000",
                             L"cmd|net start CorvaneMarketService|10000", L"sleep|2000",
                             L"cmd|sc query CorvaneMarketService|5000"}));
    EXPECT_EQ(Logs(), (TLines{L"[12/14] CorvaneMarketService...",
                              L"  CorvaneMarketService zaten kurulu - atlanıyor",
                              L"  Servis yeniden başlatılıyor...",
                              L"  OK - CorvaneMarketService çalışıyor"}));
}

TEST_F(StepTest, AppServiceIsInstalledFromItsProgramOrSkippedWithoutIt) {
    host->CmdResults[L"sc query CorvaneMarketService"] = 1060;
    Step("InstallAppService");
    EXPECT_EQ(Logs(), (TLines{L"[12/14] CorvaneMarketService...",
                              L"  ! CorvaneMarketServer.exe bulunamadı - atlandı"}));
    journal.Clear();
    ForceDirectories(L"D:\\CorvaneZideroZur\\CorvaneMarketServis");
    WriteBytes(L"D:\\CorvaneZideroZur\\CorvaneMarketServis\\CorvaneMarketServer.exe", "MZ");
    Step("InstallAppService");
    TLines calls;
    for (const auto& e : journal.Entries())
        if (e.rfind(L"log|", 0) != 0)
            calls.push_back(e);
    EXPECT_EQ(calls,
              (TLines{L"cmd|sc query CorvaneMarketService|5000",
                      L"exe|D:\\CorvaneZideroZur\\CorvaneMarketServis\\CorvaneMarketServer.exe|"
                      L"/install|10000",
                      L"sleep|3000", L"cmd|net start CorvaneMarketService|10000", L"sleep|3000",
                      L"cmd|sc query CorvaneMarketService|5000"}));
    EXPECT_EQ(Logs().back(), L"  ! UYARI: CorvaneMarketService durumu doğrulanamadı");
}

TEST_F(StepTest, ShortcutWithoutTillProgramIsNotMade) {
    Step("CreateShortcut");
    const TLines logs = Logs();
    ASSERT_EQ(logs.size(), 4u);
    EXPECT_EQ(logs[1], L"  Desktop yolu: " + engine->GetDesktopPath());
    EXPECT_EQ(logs[2], L"  ! CorvaneZideroZUR.exe bulunamadı");
    EXPECT_EQ(logs[3], L"  OK");
}

TEST_F(StepTest, ShortcutOverwritesAnEarlierOne) {
    ForceDirectories(L"D:\\CorvaneZideroZur");
    WriteBytes(L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe", "MZ");
    const std::wstring lnk = engine->GetDesktopPath() + L"\\Corvane Market Pos.lnk";
    WriteBytes(lnk, "not a shortcut");
    Step("CreateShortcut");
    EXPECT_EQ(Logs()[2], L"  Corvane Market Pos.lnk OK");
    EXPECT_NE(ReadBytes(lnk), "not a shortcut");
    EXPECT_GT(ReadBytes(lnk).size(), 40u);
    DeleteFileW(lnk.c_str());
}

class UninstallEntry : public StepTest {
protected:
    const wchar_t* kKey =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Market Pos";
    void SetUp() override {
        StepTest::SetUp();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
    }
    void TearDown() override {
        vpfnRegSetValueExW = ::RegSetValueExW;
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
        StepTest::TearDown();
    }
    bool HasValue(const wchar_t* name) {
        return RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
    }
};

TEST_F(UninstallEntry, MissingProgramsAreReportedAndTheEntryIsStillWritten) {
    Step("RegisterUninstall");
    EXPECT_EQ(Logs(), (TLines{L"[14/14] Program Ekle/Kaldır kaydı...",
                              L"  ! Uninstaller EXE bulunamadı: D:\\CorvaneZideroZur\\Uninstall "
                              L"Corvane Market Pos.exe",
                              L"  Registry OK", L"  OK"}));
    EXPECT_TRUE(HasValue(L"UninstallString"));
    EXPECT_FALSE(HasValue(L"DisplayIcon")) << "no till program, no icon";
}

TEST_F(UninstallEntry, DisplayIconOfAnEarlierInstallationStays) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const wchar_t icon[] = L"C:\\eski.exe,0";
    RegSetValueExW(key, L"DisplayIcon", 0, REG_SZ, reinterpret_cast<const BYTE*>(icon), sizeof icon);
    RegCloseKey(key);
    Step("RegisterUninstall");
    wchar_t buf[64] = {};
    DWORD bytes = sizeof buf;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"DisplayIcon", RRF_RT_REG_SZ, nullptr, buf,
                           &bytes),
              ERROR_SUCCESS);
    EXPECT_STREQ(buf, icon);
}

TEST_F(UninstallEntry, FailingValueWriteStopsTheValuesAndIsLogged) {
    vpfnRegSetValueExW = [](HKEY k, LPCWSTR name, DWORD r, DWORD t, const BYTE* d,
                            DWORD n) -> LSTATUS {
        if (std::wstring(name) == L"InstallLocation")
            return ERROR_ACCESS_DENIED;
        return ::RegSetValueExW(k, name, r, t, d, n);
    };
    Step("RegisterUninstall");
    const TLines logs = Logs();
    EXPECT_EQ(TLines(logs.end() - 2, logs.end()),
              (TLines{L"  ! Registry hatası: Failed to set data for 'InstallLocation'", L"  OK"}));
    EXPECT_TRUE(HasValue(L"Publisher"));
    EXPECT_FALSE(HasValue(L"UninstallString")) << "values after the failing one are not written";
}

} // namespace
