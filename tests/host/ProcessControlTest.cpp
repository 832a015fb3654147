// Process and service control against real processes and services of the prefix: finding a
// program by name, waiting for it, stopping and deleting services, and the fall-backs.
#include "HostTestSupport.h"

#include "uWin32Seam.h"

namespace {

using Lines = std::vector<std::wstring>;

const wchar_t* const kService = L"CorvaneMarketService";

// Registers CorvaneMarketService through the stand-in's own "/install", with extra switches
// that it passes on to the service.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveServiceHard(kService); }
    void TearDown() override { RemoveServiceHard(kService); }
    void Install(const std::wstring& switches = L"") {
        ASSERT_EQ(RunAndWait(Standin(L"CorvaneMarketServer.exe"), L"/install " + switches), 0);
        ASSERT_TRUE(ServiceExists(kService));
    }
};

// A host whose status queries always fail.
class TBlindHost : public TRecordingHost {
protected:
    bool QueryServiceState(SC_HANDLE, DWORD&) override { return false; }
};

// A host that cannot open the service manager.
class TNoManagerHost : public TRecordingHost {
protected:
    SC_HANDLE OpenManager(DWORD) override {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
};

std::vector<int> Seconds(int n) {
    return std::vector<int>(static_cast<size_t>(n), 1000);
}

} // namespace

TEST(IsProcessRunning, FindsARunningProgramIgnoringAsciiCase) {
    TChild child;
    ASSERT_TRUE(child.Start(Standin(L"CorvaneZideroZUR.exe"), L"--standin-life=30000"));
    TRecordingHost host;
    EXPECT_TRUE(host.IsProcessRunning(L"CorvaneZideroZUR.exe"));
    EXPECT_TRUE(host.IsProcessRunning(L"corvaneziderozur.EXE"));
    // Only A-Z fold: a dotted capital I is another letter.
    EXPECT_FALSE(host.IsProcessRunning(L"CORVANEZ\u0130DEROZUR.EXE"));
    EXPECT_FALSE(host.IsProcessRunning(L"CorvaneZideroZUR"));
    child.Kill();
    EXPECT_FALSE(host.IsProcessRunning(L"CorvaneZideroZUR.exe"));
    EXPECT_TRUE(host.Lines.empty());
}

TEST(WaitProcessExit, ProgramAlreadyGoneClosesAtTheFirstTest) {
    TRecordingHost host;
    EXPECT_TRUE(host.WaitProcessExit(L"NoSuchProgram.exe", 15));
    EXPECT_EQ(host.Lines, (Lines{L"    NoSuchProgram.exe kapandı (1sn)"}));
    EXPECT_TRUE(host.Sleeps.empty());
}

TEST(WaitProcessExit, ProgramThatStaysIsReportedAfterTheLimit) {
    TChild child;
    ASSERT_TRUE(child.Start(Standin(L"TarvikBridge.exe"), L"--standin-life=60000"));
    TRecordingHost host;
    EXPECT_FALSE(host.WaitProcessExit(L"TarvikBridge.exe", 15));
    EXPECT_EQ(host.Sleeps, Seconds(15));
    EXPECT_EQ(host.Lines, (Lines{L"    ! TarvikBridge.exe hala çalışıyor (15sn beklendi)"}));
    EXPECT_TRUE(child.Running());
}

TEST(WaitProcessExit, ProgramEndingDuringTheWaitIsSeenAtTheNextTest) {
    TChild child;
    ASSERT_TRUE(child.Start(Standin(L"OmnelBridge.exe"), L"--standin-life=60000"));
    TRecordingHost host;
    host.OnSleep = [&](size_t n) {
        if (n == 3)
            child.Kill();
    };
    EXPECT_TRUE(host.WaitProcessExit(L"OmnelBridge.exe", 15));
    EXPECT_EQ(host.Sleeps, Seconds(3));
    EXPECT_EQ(host.Lines, (Lines{L"    OmnelBridge.exe kapandı (4sn)"}));
}

TEST(WaitProcessExit, NoSecondsMeansNoTest) {
    TRecordingHost host;
    EXPECT_FALSE(host.WaitProcessExit(L"NoSuchProgram.exe", 0));
    EXPECT_EQ(host.Lines, (Lines{L"    ! NoSuchProgram.exe hala çalışıyor (0sn beklendi)"}));
}

TEST_F(ServiceTest, StopServiceWaitStopsARunningService) {
    Install();
    ASSERT_TRUE(StartServiceAndWait(kService));
    TRecordingHost host;
    host.RealSleepMs = 100;
    EXPECT_TRUE(host.StopServiceWait(kService, 30));
    ASSERT_GE(host.Lines.size(), 2u);
    EXPECT_EQ(host.Lines[0], L"    Servis durduruluyor: CorvaneMarketService");
    const std::wstring done = host.Lines.back();
    EXPECT_EQ(done, L"    Servis durdu (" + std::to_wstring(host.Sleeps.size()) + L"sn)");
    EXPECT_EQ(ServiceState(kService), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceTest, StopServiceWaitOfAStoppedServiceSendsNothing) {
    Install();
    TRecordingHost host;
    EXPECT_TRUE(host.StopServiceWait(kService, 30));
    EXPECT_EQ(host.Lines, (Lines{L"    Servis zaten durmuş"}));
    EXPECT_TRUE(host.Sleeps.empty());
}

TEST(StopServiceWait, UnregisteredServiceCountsAsStopped) {
    TRecordingHost host;
    EXPECT_TRUE(host.StopServiceWait(L"CorvaneNoSuchService", 30));
    EXPECT_EQ(host.Lines, (Lines{L"    Servis bulunamadı: CorvaneNoSuchService (yeni kurulum?)"}));
    EXPECT_TRUE(host.Sleeps.empty());
}

TEST_F(ServiceTest, StopServiceWaitGivesUpOnAServiceThatNeverStops) {
    Install(L"--standin-stop=ignore");
    ASSERT_TRUE(StartServiceAndWait(kService));
    TRecordingHost host;
    EXPECT_FALSE(host.StopServiceWait(kService, 30));
    EXPECT_EQ(host.Sleeps, Seconds(30));
    EXPECT_EQ(host.Lines, (Lines{L"    Servis durduruluyor: CorvaneMarketService",
                                 L"    Bekleniyor... (5/30sn)", L"    Bekleniyor... (10/30sn)",
                                 L"    Bekleniyor... (15/30sn)", L"    Bekleniyor... (20/30sn)",
                                 L"    Bekleniyor... (25/30sn)", L"    Bekleniyor... (30/30sn)",
                                 L"    ! Servis 30sn içinde durmadı"}));
    EXPECT_EQ(ServiceState(kService), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceTest, StopServiceWaitNeverTakesAnUnreadableStatusForStopped) {
    Install();
    TBlindHost host;
    EXPECT_FALSE(host.StopServiceWait(kService, 5));
    EXPECT_EQ(host.Lines,
              (Lines{L"    Servis durduruluyor: CorvaneMarketService", L"    Bekleniyor... (5/5sn)",
                     L"    ! Servis 5sn içinde durmadı"}));
}

TEST_F(ServiceTest, StopServiceWaitFallsBackToNetStop) {
    Install();
    ASSERT_TRUE(StartServiceAndWait(kService));
    TNoManagerHost host;
    EXPECT_TRUE(host.StopServiceWait(kService, 30));
    ASSERT_GE(host.Lines.size(), 2u);
    EXPECT_EQ(host.Lines[0], L"    ! SCManager açılamadı");
    EXPECT_EQ(host.Lines[1], L"  > net stop CorvaneMarketService");
    EXPECT_EQ(host.Sleeps, (std::vector<int>{3000}));
    EXPECT_EQ(ServiceState(kService), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceTest, DeleteServiceWaitDeletesAStoppedService) {
    Install();
    TRecordingHost host;
    host.RealSleepMs = 100;
    EXPECT_TRUE(host.DeleteServiceWait(kService, 15));
    EXPECT_EQ(host.Lines, (Lines{L"    Servis silme istendi: CorvaneMarketService",
                                 L"    Servis silindi (1sn)"}));
    EXPECT_EQ(host.Sleeps, Seconds(1));
    EXPECT_FALSE(ServiceExists(kService));
}

TEST_F(ServiceTest, DeleteServiceWaitOfARunningServiceWaitsInVain) {
    Install();
    ASSERT_TRUE(StartServiceAndWait(kService));
    TRecordingHost host;
    EXPECT_FALSE(host.DeleteServiceWait(kService, 5));
    EXPECT_EQ(host.Lines, (Lines{L"    Servis silme istendi: CorvaneMarketService",
                                 L"    ! Servis silinemedi (5sn beklendi)"}));
    EXPECT_EQ(host.Sleeps, Seconds(5));
    EXPECT_TRUE(ServiceExists(kService));
}

TEST(DeleteServiceWait, UnregisteredServiceCountsAsDeleted) {
    TRecordingHost host;
    EXPECT_TRUE(host.DeleteServiceWait(L"CorvaneNoSuchService", 15));
    EXPECT_EQ(host.Lines, (Lines{L"    Servis zaten yok: CorvaneNoSuchService"}));
    EXPECT_TRUE(host.Sleeps.empty());
}

TEST_F(ServiceTest, DeleteServiceWaitFallsBackToScDelete) {
    Install();
    TNoManagerHost host;
    EXPECT_TRUE(host.DeleteServiceWait(kService, 15));
    EXPECT_EQ(host.Lines, (Lines{L"  > sc delete CorvaneMarketService"}));
    EXPECT_EQ(host.Sleeps, (std::vector<int>{3000}));
    EXPECT_FALSE(ServiceExists(kService));
}

// Windows refuses a service to a caller without the right to it; Wine never does. Only "does
// not exist" is taken for a missing service: any other refusal is reported with the system's
// text and ends as "could not stop" / "could not delete" at once, without waiting.
TEST_F(ServiceTest, RefusedServiceCallsAreNotTakenForAMissingService) {
    Install();
    ASSERT_TRUE(StartServiceAndWait(kService));
    struct TSeamReset {
        ~TSeamReset() { ResetWin32Seam(); }
    } reset;
    const std::wstring denied = SysErrorMessage(ERROR_ACCESS_DENIED);

    vpfnOpenServiceW = [](SC_HANDLE manager, LPCWSTR name, DWORD access) -> SC_HANDLE {
        if (access == SERVICE_ALL_ACCESS) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return ::OpenServiceW(manager, name, access);
    };
    TRecordingHost opened;
    EXPECT_FALSE(opened.StopServiceWait(kService, 30));
    EXPECT_FALSE(opened.DeleteServiceWait(kService, 15));
    EXPECT_EQ(opened.Lines, (Lines{L"    ! Servis açılamadı: CorvaneMarketService - " + denied,
                                   L"    ! Servis açılamadı: CorvaneMarketService - " + denied}));
    EXPECT_TRUE(opened.Sleeps.empty());
    ResetWin32Seam();

    vpfnControlService = [](SC_HANDLE, DWORD, LPSERVICE_STATUS) -> BOOL {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    vpfnDeleteService = [](SC_HANDLE) -> BOOL {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    TRecordingHost controlled;
    EXPECT_FALSE(controlled.StopServiceWait(kService, 30));
    EXPECT_FALSE(controlled.DeleteServiceWait(kService, 15));
    EXPECT_EQ(controlled.Lines,
              (Lines{L"    Servis durduruluyor: CorvaneMarketService",
                     L"    ! Servis durdurulamadı: CorvaneMarketService - " + denied,
                     L"    ! Servis silinemedi: CorvaneMarketService - " + denied}));
    EXPECT_TRUE(controlled.Sleeps.empty());
    EXPECT_EQ(ServiceState(kService), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ServiceExists(kService));
}
