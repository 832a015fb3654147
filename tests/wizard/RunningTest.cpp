// Running: the engine's reports reaching the installation page from its worker, the finish
// texts of every mode, the failure state, the close guard during a run, and the source folder:
// payload extraction, its failures and development mode.
#include "WizardTestSupport.h"

#include "host/uWinHost.h"
#include "uEngineRules.h"

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::wstring ErrorOfLastLine(const std::vector<std::wstring>& lines) {
    const std::wstring prefix = L"!!! HATA: ";
    if (lines.empty() || lines.back().rfind(prefix, 0) != 0)
        return L"<no error line>";
    return lines.back().substr(prefix.size());
}

int ProgressPos(HWND bar) {
    return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
}

// A setup file: a stand-in executable, then the archive, its length and the magic.
std::string SetupFile(const std::string& archive) {
    std::string file = "MZ-not-really-an-executable";
    file += archive;
    int64_t n = static_cast<int64_t>(archive.size());
    for (int i = 0; i < 8; ++i)
        file += static_cast<char>((n >> (8 * i)) & 0xFF);
    file += "CVPAYZIP";
    return file;
}

uint32_t Crc(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Put(std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A ZIP archive with one stored file.
std::string ZipWithOneFile(const std::string& name, const std::string& content) {
    const uint32_t crc = Crc(content);
    const uint32_t size = static_cast<uint32_t>(content.size());
    std::string zip;
    Put(zip, 0x04034b50, 4);
    Put(zip, 20, 2);
    Put(zip, 0, 2); // flags
    Put(zip, 0, 2); // stored
    Put(zip, 0, 4); // time and date
    Put(zip, crc, 4);
    Put(zip, size, 4);
    Put(zip, size, 4);
    Put(zip, static_cast<uint32_t>(name.size()), 2);
    Put(zip, 0, 2);
    zip += name + content;
    const uint32_t cdOffset = static_cast<uint32_t>(zip.size());
    Put(zip, 0x02014b50, 4);
    Put(zip, 20, 2);
    Put(zip, 20, 2);
    Put(zip, 0, 2);
    Put(zip, 0, 2);
    Put(zip, 0, 4);
    Put(zip, crc, 4);
    Put(zip, size, 4);
    Put(zip, size, 4);
    Put(zip, static_cast<uint32_t>(name.size()), 2);
    Put(zip, 0, 2);
    Put(zip, 0, 2);
    Put(zip, 0, 2);
    Put(zip, 0, 2);
    Put(zip, 0, 4);
    Put(zip, 0, 4); // local header offset
    zip += name;
    const uint32_t cdSize = static_cast<uint32_t>(zip.size()) - cdOffset;
    Put(zip, 0x06054b50, 4);
    Put(zip, 0, 2);
    Put(zip, 0, 2);
    Put(zip, 1, 2);
    Put(zip, 1, 2);
    Put(zip, cdSize, 4);
    Put(zip, cdOffset, 4);
    Put(zip, 0, 2);
    return zip;
}

std::vector<std::wstring> FoldersIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L".." && (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(name);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

} // namespace

class RunningTest : public TWizardTest {
protected:
    // Reports as the engine's worker makes them, through the events the window bound.
    void ReportFromAWorker(const std::function<void(TSetupEngine&)>& reports) {
        TSetupEngine& engine = Sys.Engine();
        std::thread([&] { reports(engine); }).join();
    }
    void SucceedFromAWorker() {
        ReportFromAWorker([](TSetupEngine& e) { e.OnFinished()({TRunResult::Succeeded, L""}); });
        ASSERT_TRUE(PumpUntil([&] { return Shown(C(L"tsFinish")); }));
    }
    bool InFailureState() { return Text(C(L"lblInstallTitle")) == L"Hata Oluştu!"; }
    void UsePayload(const std::wstring& setupFile, const std::wstring& tempDir) {
        Sys.PayloadFactory = [setupFile, tempDir] {
            return std::make_unique<TPayloadExtractor>(
                std::make_unique<TTestPayloadPlatform>(setupFile, tempDir + L"\\"));
        };
    }
};

TEST_F(RunningTest, TwentyThousandLinesFromTheWorkerArriveInOrderWithProgressAndResult) {
    constexpr int kLines = 20000;
    ASSERT_TRUE(Open());
    // At its first outside command the real worker reports a flood, then the run is cancelled.
    Sys.Host().OnCall = [this, first = true](const std::wstring&) mutable {
        if (!first)
            return;
        first = false;
        TSetupEngine& e = Sys.Engine();
        for (int i = 0; i < kLines; ++i) {
            if (i % 1000 == 0)
                e.OnProgress()(10 + i / 1000, L"Adım " + std::to_wstring(i / 1000));
            e.OnLog()(L"satır " + std::to_wstring(i));
        }
        e.Cancel();
    };
    GoToSettings();
    PressKur();
    // A report from the UI thread itself is on the page before the call returns; the worker's
    // reports wait for the UI thread, which looks at nothing until the run has ended.
    EXPECT_EQ(MemoLines(C(L"memoLog")),
              (std::vector<std::wstring>{L"Geliştirme modu: C:\\corvane"}));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Sys.Engine().IsRunning() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(Sys.Engine().IsRunning()) << "the worker waited for the UI thread";
    EXPECT_EQ(MemoLines(C(L"memoLog")).size(), 1u);
    EXPECT_FALSE(InFailureState());

    ASSERT_TRUE(PumpUntil([&] { return InFailureState(); }, 60000));
    const std::vector<std::wstring> lines = MemoLines(C(L"memoLog"));
    ASSERT_GT(lines.size(), size_t(kLines));
    EXPECT_EQ(lines[0], L"Geliştirme modu: C:\\corvane");
    EXPECT_EQ(lines[1], SEPARATOR_LINE) << "the run's own header follows";
    size_t first = 0;
    while (first < lines.size() && lines[first] != L"satır 0")
        ++first;
    ASSERT_LT(first + kLines, lines.size());
    for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(lines[first + i], L"satır " + std::to_wstring(i)) << "line " << i;
    // The result came last: the error line of the cancelled run, its text under the title.
    const std::wstring error = ErrorOfLastLine(lines);
    EXPECT_EQ(Text(C(L"lblCurrentStep")), error);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ProgressPos(C(L"pbProgress")), 10 + (kLines - 1) / 1000);
}

TEST_F(RunningTest, ProgressMovesTheBarAndShowsTheStep) {
    ASSERT_TRUE(Open());
    ReportFromAWorker([](TSetupEngine& e) { e.OnProgress()(10, L"Dosyalar kopyalanıyor..."); });
    EXPECT_EQ(ProgressPos(C(L"pbProgress")), 0) << "not before the UI thread has looked";
    ASSERT_TRUE(PumpUntil([&] { return ProgressPos(C(L"pbProgress")) == 10; }));
    EXPECT_EQ(Text(C(L"lblCurrentStep")), L"Dosyalar kopyalanıyor...");
}

TEST_F(RunningTest, EmptyLogLinesAreKeptAndTheLogScrollsToItsEnd) {
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    ReportFromAWorker([](TSetupEngine& e) {
        for (int i = 0; i < 200; ++i)
            e.OnLog()(i % 2 ? L"" : L"satır " + std::to_wstring(i));
    });
    ASSERT_TRUE(PumpUntil([&] {
        const std::vector<std::wstring> lines = MemoLines(C(L"memoLog"));
        return lines.size() >= 200 && lines[lines.size() - 2] == L"satır 198";
    }));
    const std::vector<std::wstring> all = MemoLines(C(L"memoLog"));
    const std::vector<std::wstring> lines(all.end() - 200, all.end());
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(lines[i], i % 2 ? L"" : L"satır " + std::to_wstring(i)) << "line " << i;
    SCROLLINFO si = {};
    si.cbSize = sizeof(si);
    si.fMask = SIF_ALL;
    GetScrollInfo(C(L"memoLog"), SB_VERT, &si);
    EXPECT_GT(si.nMax, static_cast<int>(si.nPage)) << "200 lines fit the page?";
    EXPECT_GE(si.nPos + static_cast<int>(si.nPage), si.nMax) << "the newest line is not in view";
}

TEST_F(RunningTest, FinishTextsOfANewInstallation) {
    ASSERT_TRUE(Open());
    SucceedFromAWorker();
    EXPECT_EQ(Text(C(L"lblFinishTitle")), L"Kurulum Tamamlandı!");
    EXPECT_EQ(Text(C(L"lblFinishDesc")),
              L"CorvaneZideroZur başarıyla kuruldu!\r\n\r\nKurulum klasörü: D:\\CorvaneZideroZur"
              L"\r\nVeritabanı: D:\\CorvaneOrtakData\r\nMariaDB Port: 3307");
    EXPECT_TRUE(Shown(C(L"chkRunApp")));
}

TEST_F(RunningTest, DatabaseOnlyRunEndsOnTheFinishPageWithoutTheTillProgramBox) {
    // The real run of the engine: the scripted "sc query CorvaneDB" finds the service.
    TTempDir install(L"D:\\CorvaneZideroZur");
    WriteFileBytes(install.Path() + L"\\CorvaneZideroZUR.exe", "MZ");
    ASSERT_TRUE(Open());
    GoToSettings();
    Pick(C(L"cbKurulumTipi"), L"Sadece CorvaneDB");
    Pick(C(L"cbDbDrive"), L"C:");
    PressKur();
    ASSERT_TRUE(PumpUntil([&] { return Shown(C(L"tsFinish")) || InFailureState(); }));
    ASSERT_TRUE(Shown(C(L"tsFinish"))) << testing::PrintToString(Text(C(L"lblCurrentStep")));
    EXPECT_EQ(Text(C(L"lblFinishTitle")), L"Kurulum Tamamlandı!");
    EXPECT_EQ(Text(C(L"lblFinishDesc")),
              L"CorvaneDB başarıyla kuruldu!\r\n\r\nVeritabanı klasörü: C:\\CorvaneOrtakData"
              L"\r\nMariaDB Port: 3307\r\nServis Adı: CorvaneDB");
    EXPECT_FALSE(Shown(C(L"chkRunApp")));
    EXPECT_TRUE(Checked(C(L"chkRunApp")));
    EXPECT_EQ(ProgressPos(C(L"pbProgress")), 100);
    EXPECT_EQ(MemoLines(C(L"memoLog")).back(), SEPARATOR_LINE);
    // The hidden box still counts: the till program is there, so "Kapat" starts it.
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
    ASSERT_EQ(Sys.ShellCalls.size(), 1u);
    EXPECT_EQ(Sys.ShellCalls[0].File, L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe");
}

TEST_F(RunningTest, FinishTextOfAFullUpdate) {
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    SucceedFromAWorker();
    EXPECT_EQ(Text(C(L"lblFinishTitle")), L"Kurulum Tamamlandı!");
    EXPECT_EQ(Text(C(L"lblFinishDesc")), L"Corvane Market Pos başarıyla güncellendi!\r\n\r\n"
                                         L"Tüm dosyalar güncellendi. Veritabanınız korundu.");
}

TEST_F(RunningTest, FinishTextOfAFileUpdate) {
    Sys.Exe = L"C:\\dl\\CorvaneMarketDosyaUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    SucceedFromAWorker();
    EXPECT_EQ(Text(C(L"lblFinishTitle")), L"Kurulum Tamamlandı!");
    EXPECT_EQ(Text(C(L"lblFinishDesc")), L"CorvaneZideroZUR.exe başarıyla güncellendi!");
}

TEST_F(RunningTest, RestoreTitleWinsOverTheUpdateTexts) {
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    SetWindowTextW(C(L"lblInstallTitle"), L"GERI YUKLEME"); // as the restore sets it
    SucceedFromAWorker();
    EXPECT_EQ(Text(C(L"lblFinishTitle")), L"Geri Yükleme Tamamlandı!");
    EXPECT_EQ(Text(C(L"lblFinishDesc")),
              L"Corvane Market Pos onceki sürüme başarıyla geri yüklendi.\r\n\r\n"
              L"Veritabani ve satış verileriniz korundu.");
}

TEST_F(RunningTest, FailureStaysOnTheInstallationPageAndKapatClosesWithoutAQuestion) {
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    ReportFromAWorker([](TSetupEngine& e) {
        e.OnLog()(L"[2/14] Dosyalar kopyalanıyor...");
        e.OnProgress()(37, L"Dosyalar kopyalanıyor...");
        e.OnLog()(L"!!! HATA: Disk dolu");
        e.OnFinished()({TRunResult::Failed, L"Disk dolu"});
    });
    ASSERT_TRUE(PumpUntil([&] { return InFailureState(); }));
    EXPECT_TRUE(Shown(C(L"tsInstall")));
    EXPECT_EQ(Form->TextColor(L"lblInstallTitle"), RGB(0xFF, 0x00, 0x00));
    EXPECT_EQ(Text(C(L"lblCurrentStep")), L"Disk dolu");
    EXPECT_EQ(Text(C(L"btnNext")), L"Kapat");
    EXPECT_TRUE(Shown(C(L"btnNext")) && Enabled(C(L"btnNext")));
    EXPECT_FALSE(Shown(C(L"btnBack")));
    EXPECT_FALSE(Shown(C(L"btnCancel")));
    EXPECT_EQ(ProgressPos(C(L"pbProgress")), 37);
    const std::vector<std::wstring> lines = MemoLines(C(L"memoLog"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), L"Geliştirme modu: C:\\corvane");
    EXPECT_EQ(
        std::vector<std::wstring>(lines.end() - 2, lines.end()),
        (std::vector<std::wstring>{L"[2/14] Dosyalar kopyalanıyor...", L"!!! HATA: Disk dolu"}));
    EXPECT_EQ(Form->FillColor(L"shpStep2"), RGB(0xFF, 0xFF, 0xFF)) << "markers stay";

    Sys.Engine().Cancel(); // the held run is still there: let it end quietly
    ReleaseRun();
    ASSERT_TRUE(PumpUntil([&] { return !Sys.Engine().IsRunning(); }));
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(Sys.Boxes.empty());
}

TEST_F(RunningTest, CloseDuringARunAnsweredNoKeepsRunning) {
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    Sys.Answers = {IDNO, IDNO};
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    ASSERT_FALSE(WindowGone());
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Text, L"Kurulum devam ediyor! İptal edilsin mi?");
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONQUESTION | MB_YESNO));
    EXPECT_EQ(Sys.Boxes[0].Owner, Form->Handle());
    // Not cancelled: the question comes again on the next request.
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(WindowGone());
    EXPECT_EQ(Sys.Boxes.size(), 2u);
    EXPECT_TRUE(Sys.Engine().IsRunning());
}

TEST_F(RunningTest, CloseDuringARunAnsweredYesCancelsAndTheWindowClosesAtTheEnd) {
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    Sys.Answers = {IDYES};
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    ASSERT_FALSE(WindowGone()) << "the window waits for the run's end";
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    // Further requests are refused without a question.
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_FALSE(WindowGone());

    // The run goes on to its next cancellation check and reports its end.
    ReleaseRun();
    ASSERT_TRUE(PumpUntil([&] { return WindowGone(); }, 20000));
    EXPECT_EQ(Sys.Boxes.size(), 1u);
}

TEST_F(RunningTest, RunEndingWhileTheQuestionIsOpenClosesOnYes) {
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    Sys.Answers = {IDYES};
    Sys.WhileMessageBox = [this] {
        // The run fails on its own and its report is handled before the user answers.
        Sys.Engine().Cancel();
        ReleaseRun();
        ASSERT_TRUE(PumpUntil([&] { return InFailureState(); }));
    };
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WindowGone()) << "the user asked to cancel and nothing runs any more";
    EXPECT_EQ(Sys.Boxes.size(), 1u);
}

TEST_F(RunningTest, DevelopmentModeUsesTheSetupFilesFolder) {
    HoldRuns();
    Sys.Exe = L"C:\\Program Files\\Kurulum\\CorvaneMarketSetup-2.0.exe";
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    EXPECT_EQ(MemoLines(C(L"memoLog"))[0], L"Geliştirme modu: C:\\Program Files\\Kurulum");
    EXPECT_EQ(Sys.Engine().SourceDir(), L"C:\\Program Files\\Kurulum");
}

TEST_F(RunningTest, DevelopmentModeOfAnUpdateFileTakesTheInstallationFolderAsSource) {
    TTempDir install(L"D:\\CorvaneZideroZur");
    HoldRuns();
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    EXPECT_EQ(MemoLines(C(L"memoLog"))[0], L"Geliştirme modu: C:\\dl");
    EXPECT_EQ(Sys.Engine().SourceDir(), L"D:\\CorvaneZideroZur");
}

TEST_F(RunningTest, ExtractedPayloadBecomesTheSourceAndGoesWithTheWindow) {
    TTempDir work(L"C:\\wizardtest");
    const std::wstring setup = work.Path() + L"\\setup.exe";
    WriteFileBytes(setup, SetupFile(ZipWithOneFile("version.json", "{}")));
    CreateDirectoryW((work.Path() + L"\\temp").c_str(), nullptr);
    UsePayload(setup, work.Path() + L"\\temp");
    HoldRuns();
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    // The extraction's progress, painted while it ran, until the engine names its first step.
    EXPECT_EQ(Text(C(L"lblCurrentStep")), L"Dosyalar çıkarılıyor... %100 (0 / 0 MB)");
    const std::vector<std::wstring> lines = MemoLines(C(L"memoLog"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Dosyalar çıkarılıyor...");
    const std::vector<std::wstring> made = FoldersIn(work.Path() + L"\\temp");
    ASSERT_EQ(made.size(), 1u);
    const std::wstring extracted = work.Path() + L"\\temp\\" + made[0];
    EXPECT_EQ(lines[1], L"Geçici klasör: " + extracted);
    ASSERT_TRUE(WaitRunHeld());
    EXPECT_EQ(Sys.Engine().SourceDir(), extracted);
    EXPECT_TRUE(DirectoryExists(extracted));

    Destroy(); // the window goes (the held run is cancelled first)
    EXPECT_FALSE(DirectoryExists(extracted)) << "the extracted folder outlived the window";
}

TEST_F(RunningTest, ExtractionFailureShowsTheFailureAtOnceAndNeverStartsTheEngine) {
    TTempDir work(L"C:\\wizardtest");
    const std::wstring setup = work.Path() + L"\\setup.exe";
    WriteFileBytes(setup, SetupFile("this is not a zip archive"));
    CreateDirectoryW((work.Path() + L"\\temp").c_str(), nullptr);
    UsePayload(setup, work.Path() + L"\\temp");
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    // Shown before the UI thread has looked at its messages.
    EXPECT_TRUE(InFailureState());
    const std::vector<std::wstring> lines = MemoLines(C(L"memoLog"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Dosyalar çıkarılıyor...");
    EXPECT_EQ(lines[1].rfind(L"HATA: ZIP arsiv acma basarisiz: ", 0), 0u)
        << testing::PrintToString(lines[1]);
    EXPECT_EQ(L"HATA: " + Text(C(L"lblCurrentStep")), lines[1]);
    EXPECT_EQ(Text(C(L"btnNext")), L"Kapat");
    EXPECT_FALSE(Sys.Engine().IsRunning());
    PumpFor(100);
    EXPECT_TRUE(Sys.Host().Calls().empty()) << "the engine ran";
    const std::vector<std::wstring> made = FoldersIn(work.Path() + L"\\temp");
    ASSERT_EQ(made.size(), 1u);

    // Not the window's folder to delete: it stays after the window has gone.
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(DirectoryExists(work.Path() + L"\\temp\\" + made[0]));
}

TEST_F(RunningTest, UnreadableSetupFileFailsLikeAnExtraction) {
    Sys.PayloadFactory = [] {
        auto platform = std::make_unique<TTestPayloadPlatform>(L"C:\\dl\\setup.exe", L"C:\\t\\");
        platform->ThrowOnExePath = L"Kurulum dosyası okunamadı";
        return std::make_unique<TPayloadExtractor>(std::move(platform));
    };
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    EXPECT_TRUE(InFailureState());
    EXPECT_EQ(MemoLines(C(L"memoLog")),
              (std::vector<std::wstring>{L"HATA: Kurulum dosyası okunamadı"}));
    EXPECT_EQ(Text(C(L"lblCurrentStep")), L"Kurulum dosyası okunamadı");
    EXPECT_FALSE(Sys.Engine().IsRunning());
    // Not stuck: the close guard lets the window go.
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(Sys.Boxes.empty());
}

TEST_F(RunningTest, SetupFileWhoseEndCannotBeReadFailsInsteadOfDevelopmentMode) {
    TTempDir work(L"C:\\corvane-unreadable-test");
    Sys.PayloadFactory = [&work] {
        auto platform = std::make_unique<TTestPayloadPlatform>(L"\\\\kasa\\dl\\setup.exe",
                                                               work.Path() + L"\\temp\\");
        platform->ReadError = ERROR_NETNAME_DELETED;
        return std::make_unique<TPayloadExtractor>(std::move(platform));
    };
    ASSERT_TRUE(Open());
    GoToSettings();
    PressKur();
    EXPECT_TRUE(InFailureState());
    const std::wstring msg =
        L"Cannot read file \"\\\\kasa\\dl\\setup.exe\". " + SysErrorMessage(ERROR_NETNAME_DELETED);
    EXPECT_EQ(MemoLines(C(L"memoLog")), (std::vector<std::wstring>{L"HATA: " + msg}));
    EXPECT_EQ(Text(C(L"lblCurrentStep")), msg);
    PumpFor(100);
    EXPECT_FALSE(Sys.Engine().IsRunning());
    EXPECT_TRUE(Sys.Host().Calls().empty()) << "the engine ran";
    EXPECT_TRUE(FoldersIn(work.Path() + L"\\temp").empty()) << "nothing extracted";
}
