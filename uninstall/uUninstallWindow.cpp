// The uninstaller's window: question page, progress page with the log, result.
#include "uUninstallWindow.h"

#include <commctrl.h>

#include "uLook.h"

namespace {

const wchar_t* const kFormClass = L"TfrmUninstall";

// Client area and the two bands of the wizard's look: the accent header and the button bar.
constexpr int kWidth = 520;
constexpr int kHeight = 420;
constexpr int kHeaderHeight = 70;
constexpr int kBarTop = 344;

constexpr UINT kWakeMsg = WM_APP + 1;

} // namespace

TfrmUninstall::TfrmUninstall(TUiSystem& ui, TUninstallPlan plan, TRunner runner)
    : FUi(ui), FPlan(std::move(plan)), FRunner(std::move(runner)) {}

TfrmUninstall::~TfrmUninstall() {
    // The worker reports through the queue, which is closed by now: it only has to end.
    if (FWorker.joinable())
        FWorker.join();
    if (FHandle)
        DestroyWindow(FHandle);
}

bool TfrmUninstall::Create(int showCmd) {
    return CreateMainWindow(kFormClass, TFormProc<TfrmUninstall>::Proc, UNINSTALL_TITLE, kWidth,
                            kHeight, this, showCmd) != nullptr;
}

HWND TfrmUninstall::AddControl(const wchar_t* cls, const std::wstring& text, DWORD style, int x,
                               int y, int w, int h, HFONT font) {
    HWND ctl = CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                               FHandle, nullptr, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(ctl, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return ctl;
}

void TfrmUninstall::BuildControls() {
    const DWORD label = SS_NOPREFIX | SS_LEFT;
    lblAppName = AddControl(L"STATIC", L"Corvane Market Pos", label, 14, 10, 480, 32,
                            FFonts.Get(Look::Face, 24, true, false));
    lblAppDesc = AddControl(L"STATIC", L"Kaldırma Sihirbazı", label, 16, 42, 480, 25,
                            FFonts.Get(Look::Face, 19, false, false));

    // Question page.
    lblQuestion = AddControl(L"STATIC", L"Corvane Market Pos bu bilgisayardan kaldırılsın mı?",
                             label, 20, 86, 480, 24, FFonts.Get(Look::Face, 16, true, false));
    const std::wstring folder = FPlan.InstallDir.empty() ? L"bulunamadı" : FPlan.InstallDir;
    lblInfo = AddControl(
        L"STATIC",
        L"Programlar kapatılacak; CorvaneMarketService servisi, güvenlik duvarı kuralı, masaüstü "
        L"kısayolu, kurulum klasörü (" +
            folder +
            L") ve güncelleme yedeği silinecek.\r\n\r\nVeritabanı sunucusu CorvaneDB ve satış "
            L"verileriniz korunur.",
        label, 20, 118, 480, 110, FFonts.Get(Look::Face, 16, false, false));
    chkDatabase = AddControl(
        L"BUTTON", L"Veritabanı sunucusunu (CorvaneDB) ve tüm verilerini de kaldır",
        WS_TABSTOP | BS_AUTOCHECKBOX, 20, 240, 480, 30, FFonts.Get(Look::Face, 16, false, false));

    // Progress page.
    lblCurrentStep = AddControl(L"STATIC", L"Kaldırılıyor...", label, 20, 80, 480, 22,
                                FFonts.Get(Look::Face, 16, true, false));
    memoLog = AddControl(L"EDIT", L"",
                         WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 20,
                         108, 480, 224, FFonts.Get(Look::LogFace, Look::LogHeight, false, false));
    SetWindowLongPtrW(memoLog, GWL_EXSTYLE, WS_EX_CLIENTEDGE);
    SetWindowPos(memoLog, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    SendMessageW(memoLog, EM_SETLIMITTEXT, 0, 0);
    ShowWindow(lblCurrentStep, SW_HIDE);
    ShowWindow(memoLog, SW_HIDE);

    // Button bar.
    pbProgress = AddControl(PROGRESS_CLASSW, L"", 0, 0, kBarTop, kWidth, 21, nullptr);
    SendMessageW(pbProgress, PBM_SETRANGE32, 0, 100);
    btnRemove = AddControl(L"BUTTON", L"Kaldır", WS_TABSTOP | BS_PUSHBUTTON, 330, kBarTop + 32, 90,
                           30, FFonts.Get(Look::Face, 16, false, false));
    btnCancel = AddControl(L"BUTTON", L"İptal", WS_TABSTOP | BS_PUSHBUTTON, 425, kBarTop + 32, 80,
                           30, FFonts.Get(Look::Face, 16, false, false));
    SetFocus(btnCancel);
}

void TfrmUninstall::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(FHandle, &ps);
    RECT r = {0, 0, kWidth, kHeight};
    FillRect(dc, &r, FBrushes.Get(Look::White));
    RECT header = {0, 0, kWidth, kHeaderHeight};
    FillRect(dc, &header, FBrushes.Get(Look::Accent));
    RECT bar = {0, kBarTop, kWidth, kHeight};
    FillRect(dc, &bar, FBrushes.Get(Look::Accent));
    EndPaint(FHandle, &ps);
}

LRESULT TfrmUninstall::ColorStatic(HDC dc, HWND ctl) {
    COLORREF bg = Look::White;
    COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
    if (ctl == lblAppName) {
        bg = Look::Accent;
        text = Look::White;
    } else if (ctl == lblAppDesc) {
        bg = Look::Accent;
        text = Look::Subtitle;
    } else if (ctl == lblInfo) {
        text = Look::Grey;
    } else if (ctl == lblCurrentStep) {
        text = FResultColor;
    } else if (ctl == memoLog) {
        bg = Look::LogBackground;
    }
    SetTextColor(dc, text);
    SetBkColor(dc, bg);
    return reinterpret_cast<LRESULT>(FBrushes.Get(bg));
}

LRESULT TfrmUninstall::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        BuildControls();
        FUiQueue.Attach(FHandle, kWakeMsg);
        // Picks up a wake-up message that could not be posted.
        SetTimer(FHandle, 1, 250, nullptr);
        return 0;
    case kWakeMsg:
    case WM_TIMER:
        FUiQueue.RunPending();
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        return ColorStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_COMMAND: {
        const HWND ctl = reinterpret_cast<HWND>(lp);
        if (!ctl && LOWORD(wp) == IDOK) {
            // Enter: the focused button acts.
            const HWND focus = GetFocus();
            if (focus == btnRemove || focus == btnCancel)
                SendMessageW(focus, BM_CLICK, 0, 0);
        } else if (!ctl && LOWORD(wp) == IDCANCEL) {
            btnCancelClick();
        } else if (HIWORD(wp) == BN_CLICKED) {
            if (ctl == chkDatabase)
                chkDatabaseClick();
            else if (ctl == btnRemove)
                btnRemoveClick();
            else if (ctl == btnCancel)
                btnCancelClick();
        }
        return 0;
    }
    case WM_CLOSE: {
        bool canClose = true;
        CloseQuery(canClose);
        if (canClose)
            DestroyWindow(FHandle);
        return 0;
    }
    case WM_DESTROY:
        KillTimer(FHandle, 1);
        FUiQueue.Close();
        return 0;
    }
    return DefWindowProcW(FHandle, msg, wp, lp);
}

// Ticking the box asks once more, naming the folder; without a clear yes the box stays empty.
void TfrmUninstall::chkDatabaseClick() {
    if (!IsChecked(chkDatabase))
        return;
    const std::wstring folder = FPlan.SharedDataDir.empty() ? L"(bulunamadı)" : FPlan.SharedDataDir;
    const int answer = FUi.ShowMessageBox(
        FHandle,
        L"Veritabanı sunucusu CorvaneDB durdurulup silinecek ve " + folder +
            L" klasöründeki tüm veriler (satış verileri dahil) silinecek.\r\n\r\nBu işlem geri "
            L"alınamaz! Veritabanı da kaldırılsın mı?",
        MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    if (answer != IDYES)
        SendMessageW(chkDatabase, BM_SETCHECK, BST_UNCHECKED, 0);
}

void TfrmUninstall::OfferDatabase() {
    if (!FHandle || FRunning || FDone)
        return;
    SendMessageW(chkDatabase, BM_SETCHECK, BST_CHECKED, 0);
    chkDatabaseClick();
}

void TfrmUninstall::btnRemoveClick() {
    if (FRunning || FDone)
        return;
    FPlan.RemoveDatabase = IsChecked(chkDatabase);
    FRunning = true;
    for (HWND wnd : {lblQuestion, lblInfo, chkDatabase, btnRemove, btnCancel})
        ShowWindow(wnd, SW_HIDE);
    ShowWindow(lblCurrentStep, SW_SHOW);
    ShowWindow(memoLog, SW_SHOW);
    const TLogSink log = [this](const std::wstring& line) {
        FUiQueue.Queue([this, line] { AppendLog(line); });
    };
    const TStepSink step = [this](int index, int total) {
        FUiQueue.Queue([this, index, total] { ShowStep(index, total); });
    };
    FWorker = std::thread([this, log, step, plan = FPlan] {
        const TUninstaller::TResult result =
            FRunner(plan, log, step, [this] { return FCancelled.load(); });
        FUiQueue.Queue([this, result] { ShowResult(result); });
    });
}

void TfrmUninstall::btnCancelClick() {
    if (FDone) {
        DestroyWindow(FHandle);
        return;
    }
    bool canClose = true;
    CloseQuery(canClose);
    if (canClose)
        DestroyWindow(FHandle);
}

void TfrmUninstall::CloseQuery(bool& canClose) {
    if (!FRunning)
        return;
    canClose = false;
    if (FClosing)
        return;
    if (FUi.ShowMessageBox(FHandle, L"Kaldırma devam ediyor! İptal edilsin mi?",
                           MB_YESNO | MB_ICONQUESTION) == IDYES) {
        FClosing = true;
        FCancelled = true;
    }
}

void TfrmUninstall::AppendLog(const std::wstring& line) {
    const std::wstring text = line + L"\r\n";
    const LRESULT end = GetWindowTextLengthW(memoLog);
    SendMessageW(memoLog, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(memoLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageW(memoLog, WM_VSCROLL, SB_BOTTOM, 0);
}

void TfrmUninstall::ShowStep(int index, int total) {
    if (total > 0)
        SendMessageW(pbProgress, PBM_SETPOS, static_cast<WPARAM>((index - 1) * 100 / total), 0);
}

void TfrmUninstall::ShowResult(TUninstaller::TResult result) {
    FRunning = false;
    FDone = true;
    if (FWorker.joinable())
        FWorker.join();
    switch (result) {
    case TUninstaller::TResult::Success:
        FExitCode = EXIT_REMOVED;
        FResultColor = RGB(0x20, 0x80, 0x20);
        SetWindowTextW(lblCurrentStep, L"Corvane Market Pos başarıyla kaldırıldı.");
        SendMessageW(pbProgress, PBM_SETPOS, 100, 0);
        break;
    case TUninstaller::TResult::Failed:
    case TUninstaller::TResult::RestartPending:
        FExitCode = result == TUninstaller::TResult::Failed ? EXIT_FAILED : EXIT_RESTART_PENDING;
        FResultColor = Look::ErrorTitle;
        SetWindowTextW(lblCurrentStep, L"Kaldırma tamamlanamadı! Ayrıntılar aşağıda.");
        break;
    case TUninstaller::TResult::Cancelled:
        FExitCode = EXIT_CANCELLED;
        FResultColor = Look::Maroon;
        SetWindowTextW(lblCurrentStep, L"Kaldırma iptal edildi.");
        break;
    }
    InvalidateRect(lblCurrentStep, nullptr, TRUE);
    SetWindowTextW(btnCancel, L"Kapat");
    ShowWindow(btnCancel, SW_SHOW);
    SetFocus(btnCancel);
    if (FClosing)
        DestroyWindow(FHandle);
}
