// Page flow: the buttons of every page, the sidebar's step markers, and closing the window from
// the pages where nothing runs.
#include <thread>

#include "WizardTestSupport.h"

namespace {

constexpr COLORREF kDone = RGB(0x80, 0xFF, 0x80);
constexpr COLORREF kCurrent = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kToCome = RGB(0x80, 0x80, 0x80);

} // namespace

class PagesTest : public TWizardTest {
protected:
    // Marker i as drawn on the screen and as the label is set.
    void ExpectMarker(const TCapture& shot, int i, COLORREF color, bool bold) {
        static const int top[4] = {110, 145, 175, 205};
        const std::wstring n = std::to_wstring(i);
        EXPECT_EQ(shot.Pixel(20 + 6, top[i] + 6), color) << "circle " << i;
        EXPECT_EQ(Form->FillColor(L"shpStep" + n), color) << "circle " << i;
        EXPECT_EQ(Form->TextColor(L"lblStep" + n), color) << "label " << i;
        EXPECT_EQ(FontOf(C(L"lblStep" + n)).Bold, bold) << "label " << i;
    }

    void FinishFromAWorker() {
        TSetupEngine& engine = Sys.Engine();
        std::thread([&engine] { engine.OnFinished()({TRunResult::Succeeded, L""}); }).join();
        ASSERT_TRUE(PumpUntil([&] { return Shown(C(L"tsFinish")); }));
    }
};

TEST_F(PagesTest, ButtonsOfEveryPage) {
    HoldRuns();
    ASSERT_TRUE(Open());
    HWND back = C(L"btnBack"), next = C(L"btnNext"), cancel = C(L"btnCancel");

    // Welcome.
    EXPECT_FALSE(Shown(back));
    EXPECT_EQ(Text(next), L"İleri >");
    EXPECT_TRUE(Shown(next) && Enabled(next));
    EXPECT_TRUE(Shown(cancel));
    EXPECT_EQ(Text(cancel), L"İptal");

    // Settings.
    GoToSettings();
    EXPECT_TRUE(Shown(back));
    EXPECT_EQ(Text(back), L"< Geri");
    EXPECT_EQ(Text(next), L"Kur");
    EXPECT_TRUE(Shown(next) && Enabled(next));
    EXPECT_TRUE(Shown(cancel));

    // Back to the welcome page and forward again.
    Click(back);
    EXPECT_TRUE(Shown(C(L"tsWelcome")));
    EXPECT_FALSE(Shown(C(L"tsSettings")));
    EXPECT_FALSE(Shown(back));
    EXPECT_EQ(Text(next), L"İleri >");
    GoToSettings();

    // Installation: no buttons while it runs.
    PressKur();
    EXPECT_TRUE(Shown(C(L"tsInstall")));
    EXPECT_FALSE(Shown(C(L"tsSettings")));
    EXPECT_FALSE(Shown(back));
    EXPECT_FALSE(Shown(next));
    EXPECT_FALSE(Shown(cancel));
    ASSERT_TRUE(WaitRunHeld());

    // Finish.
    FinishFromAWorker();
    EXPECT_FALSE(Shown(C(L"tsInstall")));
    EXPECT_FALSE(Shown(back));
    EXPECT_EQ(Text(next), L"Kapat");
    EXPECT_TRUE(Shown(next) && Enabled(next));
    EXPECT_FALSE(Shown(cancel));
}

TEST_F(PagesTest, MarkersFollowThePages) {
    HoldRuns();
    ASSERT_TRUE(Open(true));
    TCapture shot = CaptureClient(Form->Handle());
    ExpectMarker(shot, 0, kCurrent, true);
    ExpectMarker(shot, 1, kToCome, false);
    ExpectMarker(shot, 2, kToCome, false);
    ExpectMarker(shot, 3, kToCome, false);

    // After "İleri >" the first step is done and stays bold.
    GoToSettings();
    shot = CaptureClient(Form->Handle());
    ExpectMarker(shot, 0, kDone, true);
    ExpectMarker(shot, 1, kCurrent, true);
    ExpectMarker(shot, 2, kToCome, false);
    ExpectMarker(shot, 3, kToCome, false);

    // "< Geri" resets them.
    Click(C(L"btnBack"));
    shot = CaptureClient(Form->Handle());
    ExpectMarker(shot, 0, kCurrent, true);
    ExpectMarker(shot, 1, kToCome, false);
    ExpectMarker(shot, 2, kToCome, false);
    ExpectMarker(shot, 3, kToCome, false);

    // Through the installation to the finish page: every step was current once.
    GoToSettings();
    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    shot = CaptureClient(Form->Handle());
    ExpectMarker(shot, 1, kDone, true);
    ExpectMarker(shot, 2, kCurrent, true);
    FinishFromAWorker();
    shot = CaptureClient(Form->Handle());
    ExpectMarker(shot, 0, kDone, true);
    ExpectMarker(shot, 1, kDone, true);
    ExpectMarker(shot, 2, kDone, true);
    ExpectMarker(shot, 3, kCurrent, true);
}

TEST_F(PagesTest, StepsNeverCurrentStayRegularWhenDone) {
    ASSERT_TRUE(Open(true));
    // A result that arrives while the welcome page shows (as after a restore) skips two steps.
    FinishFromAWorker();
    const TCapture shot = CaptureClient(Form->Handle());
    ExpectMarker(shot, 0, kDone, true);
    ExpectMarker(shot, 1, kDone, false);
    ExpectMarker(shot, 2, kDone, false);
    ExpectMarker(shot, 3, kCurrent, true);
}

TEST_F(PagesTest, CancelOnTheWelcomePageClosesWithoutAQuestion) {
    ASSERT_TRUE(Open());
    Click(C(L"btnCancel"));
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(Sys.Boxes.empty());
}

TEST_F(PagesTest, CloseBoxOnTheSettingsPageClosesWithoutAQuestion) {
    ASSERT_TRUE(Open());
    GoToSettings();
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(Sys.Boxes.empty());
}

TEST_F(PagesTest, KapatOnTheFinishPageClosesAndStartsNothingWithoutTheTillProgram) {
    ASSERT_TRUE(Open());
    FinishFromAWorker();
    ASSERT_TRUE(Checked(C(L"chkRunApp")));
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(Sys.Boxes.empty());
    EXPECT_TRUE(Sys.ShellCalls.empty())
        << "D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe is not there";
}

TEST_F(PagesTest, KapatStartsTheTillProgramWhenAskedAndPresent) {
    TTempDir dir(L"D:\\CorvaneZideroZur");
    WriteFileBytes(dir.Path() + L"\\CorvaneZideroZUR.exe", "MZ");
    ASSERT_TRUE(Open());
    FinishFromAWorker();
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
    ASSERT_EQ(Sys.ShellCalls.size(), 1u);
    const TShellCall& call = Sys.ShellCalls[0];
    // Not with the window's rights: through the signed-in user's desktop shell.
    EXPECT_EQ(call.Verb, L"as-user");
    EXPECT_EQ(call.File, L"D:\\CorvaneZideroZur\\CorvaneZideroZUR.exe");
    EXPECT_TRUE(call.NoParams);
    EXPECT_EQ(call.Dir, L"D:\\CorvaneZideroZur");
    EXPECT_EQ(call.Show, SW_SHOWNORMAL);
}

TEST_F(PagesTest, KapatWithTheBoxUntickedStartsNothing) {
    TTempDir dir(L"D:\\CorvaneZideroZur");
    WriteFileBytes(dir.Path() + L"\\CorvaneZideroZUR.exe", "MZ");
    ASSERT_TRUE(Open());
    FinishFromAWorker();
    SetChecked(C(L"chkRunApp"), false);
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
    EXPECT_TRUE(Sys.ShellCalls.empty());
}
