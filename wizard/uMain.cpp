// TfrmSetup: creation and destruction, the page model, the buttons, the settings page and the
// engine's events.
#include "uMain.h"

#include <commctrl.h>

#include <chrono>
#include <thread>

#include "uEngineRules.h"
#include "uPayload.h"
#include "uSetupEngine.h"
#include "uWizardRules.h"

namespace {

constexpr COLORREF kDone = RGB(0x80, 0xFF, 0x80);
constexpr COLORREF kCurrent = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kToCome = RGB(0x80, 0x80, 0x80);

bool DirectoryExists(const std::wstring& dir) {
    const DWORD attr = GetFileAttributesW(dir.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsChecked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetVisible(HWND wnd, bool visible) {
    ShowWindow(wnd, visible ? SW_SHOWNA : SW_HIDE);
}

std::wstring ItemText(HWND combo, int index) {
    const LRESULT len = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (len == CB_ERR)
        return std::wstring();
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(len));
    return text;
}

int Selected(HWND combo) {
    return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

std::wstring WindowText(HWND wnd) {
    const int len = GetWindowTextLengthW(wnd);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    GetWindowTextW(wnd, text.data(), len + 1);
    text.resize(static_cast<size_t>(len));
    return text;
}

} // namespace

TfrmSetup::TfrmSetup(TWizardSystem& system) : FSystem(system) {
    FLink->Form = this;
}

TfrmSetup::~TfrmSetup() {
    // The owner may go before the window has closed (a test's end): no question asked then.
    if (FHandle)
        DestroyWindow(FHandle);
}

int TfrmSetup::ShowMessage(const std::wstring& text, UINT type) {
    return FSystem.ShowMessageBox(FHandle, text, type);
}

void TfrmSetup::Close() {
    if (FClickBoxes > 0) {
        FCloseDeferred = true;
        return;
    }
    bool canClose = true;
    FormCloseQuery(FHandle, canClose);
    if (canClose && FHandle)
        DestroyWindow(FHandle);
}

// --- creation and destruction -----------------------------------------------------------------

void TfrmSetup::FormCreate(HWND) {
    FCurrentPage = 0;
    FIsInstalling = false;
    FClosing = false;
    if (!IsAdmin()) {
        RelaunchElevated();
        return;
    }
    FEngine = FSystem.CreateEngine();
    BindEngineEvents();
    FPayload = FSystem.CreatePayload();
    // Before the first page: what "Kur" installs is read from the file that was started, held
    // from here on, not from whatever lies at its name by then.
    FPayload->HoldSetupFile();

    FIsUpdateExe = (FModeName.empty() ? EngineRules::ExtractFileName(FSystem.ExePath()) : FModeName)
                       .find(L"Update") != std::wstring::npos;
    FEngine->SetModeName(FModeName);
    FEngine->DetectExistingInstall();
    FVersionStr = GetVersionFromExeName();
    FEngine->SetVersion(FVersionStr);
    if (!FVersionStr.empty())
        SetCaption(lblVersion, L"v" + FVersionStr);
    if (FIsUpdateExe) {
        for (HWND wnd : {chkDemoData, chkCorvaneSync, chkFirewall, chkRemoteAccess, lblKurulumTipi,
                         cbKurulumTipi})
            SetVisible(wnd, false);
    }
    FillDriveLists();
    SendMessageW(cbKurulumTipi, CB_RESETCONTENT, 0, 0);
    SendMessageW(cbKurulumTipi, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Ana Makine"));
    SendMessageW(cbKurulumTipi, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Sadece CorvaneDB"));
    SendMessageW(cbKurulumTipi, CB_SETCURSEL, 0, 0);
    GoToPage(0);
    UpdateBackupInfo();
}

bool TfrmSetup::IsAdmin() {
    return FSystem.IsAdmin();
}

void TfrmSetup::RelaunchElevated() {
    FTerminated = true;
    const std::wstring exe = FSystem.ExePath();
    const INT_PTR started = FSystem.ShellExecuteFile(
        nullptr, L"runas", exe, nullptr, EngineRules::ExtractFileDir(exe), SW_SHOWNORMAL);
    if (started > 32)
        return;
    FSystem.ShowMessageBox(nullptr,
                           L"Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır!\r\n\r\n"
                           L"EXE'ye sağ tıklayın > \"Yönetici olarak çalıştır\" seçin.",
                           MB_ICONERROR | MB_OK);
}

std::wstring TfrmSetup::GetVersionFromExeName() {
    return FSystem.ProgramVersion();
}

void TfrmSetup::FormDestroy(HWND) {
    // The payload reader holds the extraction folder open against being moved aside; let go of
    // it before deleting it.
    FPayload.reset();
    // Only a folder of our own making: never a drive root or a folder the user owns.
    if (!FExtractedDir.empty() && DirectoryExists(FExtractedDir) &&
        EngineRules::ExtractFileName(FExtractedDir).rfind(L"CorvaneMarketSetup_", 0) == 0) {
        try {
            DeleteDirRecursive(FExtractedDir);
        } catch (...) {
            // a temporary folder left behind is not worth a message at exit
        }
    }
    {
        // From here on no thread reaches the window's handlers.
        std::unique_lock<std::recursive_mutex> lock(FLink->Lock);
        FLink->Form = nullptr;
        // The close guard keeps the window while a restore runs, but the window can still be
        // destroyed from outside (its owner going away). The restore uses the engine to its
        // end and cannot be cancelled: let it finish rather than free the engine under it or
        // end the process in the middle of a copy.
        if (!FLink->Changed.wait_for(lock, std::chrono::minutes(10),
                                     [&] { return !FLink->RestoreRunning; })) {
            // Still not done: the engine stays with the thread rather than be freed under it.
            (void)FEngine.release();
        }
    }
    // Waits for a worker that still runs; its reports only queue, so the wait ends.
    FEngine.reset();
    FUiQueue.Close();
    FPendingLog.clear();
}

void TfrmSetup::FormCloseQuery(HWND, bool& CanClose) {
    if (!FIsInstalling)
        return;
    CanClose = false;
    if (FClosing || FCloseQuestionOpen)
        return;
    FCloseQuestionOpen = true;
    const int answer =
        ShowMessage(L"Kurulum devam ediyor! İptal edilsin mi?", MB_ICONQUESTION | MB_YESNO);
    FCloseQuestionOpen = false;
    if (answer == IDYES) {
        FClosing = true;
        if (FEngine)
            FEngine->Cancel();
        // The run may have reported its end while the question was open (the box runs the
        // queued procedures): nothing is left to wait for, so the window goes as asked.
        if (!FIsInstalling)
            CanClose = true;
    }
}

// --- pages and buttons --------------------------------------------------------------------------

void TfrmSetup::GoToPage(int Index) {
    FCurrentPage = Index;
    const HWND pages[4] = {tsWelcome, tsSettings, tsInstall, tsFinish};
    if (Index >= 0 && Index < 4) {
        SetVisible(pages[Index], true);
        for (int i = 0; i < 4; ++i)
            if (i != Index)
                SetVisible(pages[i], false);
    }
    UpdateStepIndicators();
    UpdateButtons();
}

void TfrmSetup::UpdateStepIndicators() {
    for (int i = 0; i < 4; ++i) {
        if (i < FCurrentPage) {
            SetFillColor(shpStep[i], kDone);
            SetTextColor(lblStep[i], kDone); // keeps the weight it had while current
        } else if (i == FCurrentPage) {
            SetFillColor(shpStep[i], kCurrent);
            SetTextColor(lblStep[i], kCurrent);
            SetFont(lblStep[i], Font({16, true}));
        } else {
            SetFillColor(shpStep[i], kToCome);
            SetTextColor(lblStep[i], kToCome);
            SetFont(lblStep[i], Font({16}));
        }
    }
}

void TfrmSetup::UpdateButtons() {
    switch (FCurrentPage) {
    case 0:
        SetVisible(btnBack, false);
        SetCaption(btnNext, L"İleri >");
        EnableWindow(btnNext, TRUE);
        SetVisible(btnCancel, true);
        break;
    case 1:
        SetVisible(btnBack, true);
        SetCaption(btnNext, L"Kur");
        EnableWindow(btnNext, TRUE);
        SetVisible(btnCancel, true);
        break;
    case 2:
        SetVisible(btnBack, false);
        SetVisible(btnNext, false);
        SetVisible(btnCancel, false);
        break;
    case 3:
        SetVisible(btnBack, false);
        SetCaption(btnNext, L"Kapat");
        SetVisible(btnNext, true);
        EnableWindow(btnNext, TRUE);
        SetVisible(btnCancel, false);
        break;
    }
}

void TfrmSetup::btnBackClick(HWND) {
    if (FCurrentPage > 0)
        GoToPage(FCurrentPage - 1);
}

void TfrmSetup::btnCancelClick(HWND) {
    Close();
}

void TfrmSetup::btnNextClick(HWND Sender) {
    if (FNextCloses) {
        btnCancelClick(Sender);
        return;
    }
    switch (FCurrentPage) {
    case 0:
        GoToPage(1);
        break;
    case 1:
        StartInstallation();
        break;
    case 3:
        CloseFromFinishPage();
        break;
    }
}

void TfrmSetup::StartInstallation() {
    if (Selected(cbDrive) < 0) {
        ShowMessage(L"Lütfen bir disk seçin!", MB_ICONWARNING | MB_OK);
        return;
    }
    if (FIsUpdateExe && !DirectoryExists(FEngine->InstallDir())) {
        ShowMessage(L"Kurulum klasörü bulunamadı: " + FEngine->InstallDir() +
                        L"\r\nGüncelleme için önce program kurulu olmalıdır.",
                    MB_ICONERROR | MB_OK);
        return;
    }
    // Hidden boxes count as well: they keep the state they had.
    FEngine->SetOptDemoData(IsChecked(chkDemoData));
    FEngine->SetOptDesktopShortcut(IsChecked(chkDesktopShortcut));
    FEngine->SetOptFirewall(IsChecked(chkFirewall));
    FEngine->SetOptRemoteAccess(IsChecked(chkRemoteAccess));
    FEngine->SetOptCorvaneSync(IsChecked(chkCorvaneSync));
    FEngine->SetOptCorvaneDBOnly(Selected(cbKurulumTipi) == 1);
    if (const int db = Selected(cbDbDrive); db >= 0)
        FEngine->SetDbDrive(ItemText(cbDbDrive, db).substr(0, 1));
    if (FEngine->OptCorvaneDBOnly() && !DirectoryExists(FEngine->InstallDir())) {
        ShowMessage(L"Kurulum klasörü bulunamadı: " + FEngine->InstallDir() +
                        L"\r\n\r\nCorvaneDB kurulumu için CorvaneZideroZur klasörü mevcut "
                        L"olmalıdır.",
                    MB_ICONERROR | MB_OK);
        return;
    }
    GoToPage(2);
    FIsInstalling = true;
    SetWindowTextW(memoLog, L"");
    if (!PrepareSource())
        return;
    if (!FEngine->Execute()) {
        // Cannot happen from this page (a run only starts here, and the page is not reachable
        // while one is active); never leave the page running without a run behind it.
        const std::wstring msg = L"Kurulum başlatılamadı: önceki işlem henüz bitmedi.";
        OnEngineLog(L"HATA: " + msg);
        OnEngineFinished({TRunResult::Failed, msg});
    }
}

// The engine's source folder: the extracted payload, or the setup file's own folder without one.
// False when the extraction failed; the page then shows the failure.
bool TfrmSetup::PrepareSource() {
    // HasPayload itself failing (the setup file cannot be read) counts as a failed extraction:
    // the page must not stay running with nothing behind it.
    bool failed = false;
    std::wstring error;
    try {
        if (FPayload->HasPayload()) {
            OnEngineLog(L"Dosyalar çıkarılıyor...");
            const std::wstring dir = FPayload->ExtractToTemp(
                [this](uint64_t written, uint64_t total) { ShowExtractProgress(written, total); });
            FExtractedDir = dir;
            FEngine->SetSourceDir(dir);
            OnEngineLog(L"Geçici klasör: " + dir);
            return true;
        }
    } catch (const ESetupError& e) {
        failed = true;
        error = e.Message();
    } catch (const std::exception& e) {
        failed = true;
        error = ErrorText(e);
    }
    if (failed) {
        OnEngineLog(L"HATA: " + error);
        OnEngineFinished({TRunResult::Failed, error});
        return false;
    }
    const std::wstring dir = EngineRules::ExtractFileDir(FSystem.ExePath());
    FEngine->SetSourceDir(dir);
    OnEngineLog(L"Geliştirme modu: " + dir);
    if (FIsUpdateExe && !dir.empty())
        FEngine->SetSourceDir(FEngine->InstallDir());
    return true;
}

// The extraction runs on this thread: its progress is painted at once, and the window goes on
// answering Windows' checks for a hung program meanwhile (nothing is dispatched to it).
void TfrmSetup::ShowExtractProgress(uint64_t written, uint64_t total) {
    SetCaption(lblCurrentStep, WizardRules::ExtractProgressText(written, total));
    RedrawWindow(FHandle, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

void TfrmSetup::CloseFromFinishPage() {
    const std::wstring app = FEngine->InstallDir() + L"\\CorvaneZideroZUR.exe";
    // Never with this window's administrator rights: the till program (or whatever replaced
    // its file) runs as the user signed in at the desktop, or not at all.
    if (IsChecked(chkRunApp) && FileExists(app) &&
        !FSystem.StartAsSignedInUser(app, FEngine->InstallDir()) && FLogSink)
        FLogSink(L"  ! CorvaneZideroZUR.exe başlatılmadı: oturumdaki kullanıcının masaüstü "
                 L"kabuğuna ulaşılamadı");
    Close();
}

// --- settings page ------------------------------------------------------------------------------

void TfrmSetup::FillDriveLists() {
    SendMessageW(cbDrive, CB_RESETCONTENT, 0, 0);
    const DWORD mask = FSystem.LogicalDrives();
    std::vector<WizardRules::TDriveItem> drives;
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        if ((mask & (1u << (letter - L'A'))) == 0)
            continue;
        const std::wstring drive = std::wstring(1, letter) + L":";
        if (FSystem.DriveType(drive + L"\\") != DRIVE_FIXED)
            continue;
        SendMessageW(cbDrive, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(drive.c_str()));
        drives.push_back({letter, FIsUpdateExe && DirectoryExists(drive + L"\\CorvaneZideroZur")});
    }
    const int pick = WizardRules::PreselectDrive(drives, FIsUpdateExe);
    if (pick >= 0)
        SendMessageW(cbDrive, CB_SETCURSEL, static_cast<WPARAM>(pick), 0);

    SendMessageW(cbDbDrive, CB_RESETCONTENT, 0, 0);
    const int count = static_cast<int>(SendMessageW(cbDrive, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        SendMessageW(cbDbDrive, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(ItemText(cbDrive, i).c_str()));
    if (const int sel = Selected(cbDrive); sel >= 0) {
        const LRESULT same = SendMessageW(cbDbDrive, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                          reinterpret_cast<LPARAM>(ItemText(cbDrive, sel).c_str()));
        if (same != CB_ERR)
            SendMessageW(cbDbDrive, CB_SETCURSEL, static_cast<WPARAM>(same), 0);
    } else if (count > 0) {
        SendMessageW(cbDbDrive, CB_SETCURSEL, 0, 0);
    }
    cbDriveChange(nullptr);
}

void TfrmSetup::cbDriveChange(HWND Sender) {
    const int sel = Selected(cbDrive);
    if (sel < 0)
        return;
    const std::wstring d = ItemText(cbDrive, sel);
    FEngine->SetInstallDir(d + L"\\CorvaneZideroZur");
    SetCaption(lblDriveInfo, WizardRules::DriveInfoText(d, FSystem.FreeBytes(d + L"\\")));
    // Changing the installation drive moves the database drive along.
    const LRESULT same = SendMessageW(cbDbDrive, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(d.c_str()));
    if (same != CB_ERR)
        SendMessageW(cbDbDrive, CB_SETCURSEL, static_cast<WPARAM>(same), 0);
    cbDbDriveChange(nullptr);
    if (Sender)
        UpdateWarnLabel();
}

void TfrmSetup::cbDbDriveChange(HWND) {
    const int sel = Selected(cbDbDrive);
    if (sel < 0)
        return;
    const std::wstring d = ItemText(cbDbDrive, sel);
    FEngine->SetDbDrive(d.substr(0, 1));
    SetCaption(lblDbDriveInfo, WizardRules::DbDriveInfoText(d));
}

void TfrmSetup::cbKurulumTipiChange(HWND) {
    const bool mainMachine = Selected(cbKurulumTipi) == 0;
    SetVisible(chkCorvaneSync, mainMachine);
    SetVisible(chkDemoData, mainMachine);
}

void TfrmSetup::UpdateWarnLabel() {
    SetCaption(lblUpdateWarn, FEngine->IsUpdateInstall()
                                  ? L"MEVCUT KURULUM TESPIT EDİLDİ - Güncelleme yapılacak"
                                  : L"");
}

// --- the engine's events --------------------------------------------------------------------
// Called on the worker thread, the restore thread or the UI thread. Each copies its arguments
// into a procedure for the UI thread and returns without waiting.

void TfrmSetup::OnEngineLog(const std::wstring& Msg) {
    if (FLogSink)
        FLogSink(Msg);
    FUiQueue.Queue([this, Msg] { AppendLog(Msg); });
}

void TfrmSetup::OnEngineProgress(int Percent, const std::wstring& Step) {
    FUiQueue.Queue([this, Percent, Step] { ShowProgress(Percent, Step); });
}

void TfrmSetup::OnEngineFinished(const TRunOutcome& Outcome) {
    FUiQueue.Queue([this, Outcome] { ShowResult(Outcome); });
}

void TfrmSetup::RunQueued() {
    FInBatch = true;
    FUiQueue.RunPending();
    FInBatch = false;
    FlushLog();
}

void TfrmSetup::AppendLog(const std::wstring& Msg) {
    FPendingLog += Msg;
    FPendingLog += L"\r\n";
    if (!FInBatch) // a line from the UI thread itself shows before its call returns
        FlushLog();
}

void TfrmSetup::FlushLog() {
    if (FPendingLog.empty() || !FHandle)
        return;
    const LRESULT end = GetWindowTextLengthW(memoLog);
    SendMessageW(memoLog, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(memoLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(FPendingLog.c_str()));
    SendMessageW(memoLog, WM_VSCROLL, SB_BOTTOM, 0);
    FPendingLog.clear();
}

void TfrmSetup::ShowProgress(int Percent, const std::wstring& Step) {
    FlushLog();
    SendMessageW(pbProgress, PBM_SETPOS, static_cast<WPARAM>(Percent), 0);
    SetCaption(lblCurrentStep, Step);
}

void TfrmSetup::ShowResult(const TRunOutcome& Outcome) {
    FlushLog();
    FIsInstalling = false;
    if (Outcome.Succeeded()) {
        GoToPage(3);
        if (FEngine->OptCorvaneDBOnly())
            SetVisible(chkRunApp, false);
        WizardRules::TFinishState state;
        state.InstallTitle = WindowText(lblInstallTitle);
        state.IsUpdateInstall = FEngine->IsUpdateInstall();
        state.IsFullUpdate = FEngine->IsFullUpdate();
        state.DbOnly = FEngine->OptCorvaneDBOnly();
        state.InstallDir = FEngine->InstallDir();
        state.OrtakDataDir = FEngine->OrtakDataDir();
        const WizardRules::TFinishTexts texts = WizardRules::FinishTexts(state);
        if (texts.Title)
            SetCaption(lblFinishTitle, *texts.Title);
        SetCaption(lblFinishDesc, texts.Desc);
    } else {
        SetCaption(lblInstallTitle, L"Hata Oluştu!");
        SetTextColor(lblInstallTitle, RGB(0xFF, 0x00, 0x00));
        SetCaption(lblCurrentStep, Outcome.ErrorMsg);
        SetCaption(btnNext, L"Kapat");
        SetVisible(btnNext, true);
        EnableWindow(btnNext, TRUE);
        FNextCloses = true;
    }
    if (FOnResult)
        FOnResult(Outcome);
    if (FClosing)
        Close();
}

// --- welcome page -------------------------------------------------------------------------------

// The installation whose backup the welcome page offers: the folder the uninstall entry records
// when it exists, otherwise the last fixed drive from C to Z with a CorvaneZideroZur folder.
std::wstring TfrmSetup::FindInstalledDir() {
    const std::wstring recorded =
        WizardRules::CleanInstallLocation(FSystem.RecordedInstallLocation());
    const bool recordedExists = !recorded.empty() && DirectoryExists(recorded);
    std::vector<WizardRules::TDriveItem> drives;
    if (!recordedExists) {
        const DWORD mask = FSystem.LogicalDrives();
        for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
            if ((mask & (1u << (letter - L'A'))) == 0)
                continue;
            const std::wstring root = std::wstring(1, letter) + L":\\";
            if (FSystem.DriveType(root) == DRIVE_FIXED)
                drives.push_back({letter, DirectoryExists(root + L"CorvaneZideroZur")});
        }
    }
    return WizardRules::InstalledFolder(recorded, recordedExists, drives);
}

void TfrmSetup::UpdateBackupInfo() {
    SetVisible(btnGeriYukle, false);
    SetVisible(lblYedekBilgi, false);
    SetVisible(lblYarimGuncelleme, false);
    try {
        std::unique_ptr<TSetupEngine> probe = FSystem.CreateEngine();
        probe->DetectExistingInstall();
        // Detection leaves the folder empty: the installed one is looked up here.
        probe->SetInstallDir(FindInstalledDir());
        if (probe->InstallDir().empty())
            return;
        std::wstring date;
        int64_t size = 0;
        if (probe->BackupExists() && probe->GetBackupInfo(date, size)) {
            SetCaption(lblYedekBilgi, WizardRules::BackupLine(date, size));
            SetTextColor(lblYedekBilgi, RGB(0x20, 0x80, 0x20));
            EnableWindow(btnGeriYukle, TRUE);
            SetVisible(lblYarimGuncelleme, probe->UpdateInterrupted());
        } else {
            SetCaption(lblYedekBilgi, L"Yedek bulunamadi");
            SetTextColor(lblYedekBilgi, RGB(0x80, 0x80, 0x80));
            EnableWindow(btnGeriYukle, FALSE);
        }
        SetVisible(btnGeriYukle, true);
        SetVisible(lblYedekBilgi, true);
    } catch (const std::exception&) {
        // no backup line rather than no window
    }
}

// The engine's events reach the window through the link, so that a thread the window does not
// keep can never call into a window that has gone.
void TfrmSetup::BindEngineEvents() {
    std::shared_ptr<TReportLink> link = FLink;
    FEngine->SetOnLog([link](const std::wstring& Msg) {
        std::lock_guard<std::recursive_mutex> lock(link->Lock);
        if (link->Form)
            link->Form->OnEngineLog(Msg);
    });
    FEngine->SetOnProgress([link](int Percent, const std::wstring& Step) {
        std::lock_guard<std::recursive_mutex> lock(link->Lock);
        if (link->Form)
            link->Form->OnEngineProgress(Percent, Step);
    });
    FEngine->SetOnFinished([link](const TRunOutcome& Outcome) {
        std::lock_guard<std::recursive_mutex> lock(link->Lock);
        if (link->Form)
            link->Form->OnEngineFinished(Outcome);
    });
}

void TfrmSetup::btnGeriYukleClick(HWND) {
    // Only from the welcome page and only once: a second click (or a click sent to the hidden
    // button) must not start a second restore on the same engine.
    if (FCurrentPage != 0 || FIsInstalling || FRestoreStarted || !FEngine || FEngine->IsRunning())
        return;
    // The settings page's folder comes back on every way out that starts nothing: its drive
    // list still shows it, and "Kur" installs there.
    const std::wstring chosenDir = FEngine->InstallDir();
    // A close request during one of the boxes below is carried out here, last, after the
    // settings page's folder is back: nothing starts, and the engine is freed only once the
    // click no longer uses it.
    struct TDeferredClose {
        TfrmSetup& Form;
        ~TDeferredClose() {
            if (Form.FCloseDeferred && Form.FClickBoxes == 0) {
                Form.FCloseDeferred = false;
                Form.Close();
            }
        }
    } deferredClose{*this};
    auto box = [this](const std::wstring& text, UINT type) {
        ++FClickBoxes;
        const int answer = ShowMessage(text, type);
        --FClickBoxes;
        return answer;
    };
    bool started = false;
    struct TPutBack {
        TSetupEngine& Engine;
        const std::wstring& Dir;
        const bool& Started;
        ~TPutBack() {
            if (!Started)
                Engine.SetInstallDir(Dir);
        }
    } putBack{*FEngine, chosenDir, started};

    // The folder the backup line was made for, set before the first backup test: the line and
    // the restore always look at the same backup, whatever drive the settings page preselects.
    FEngine->SetInstallDir(FindInstalledDir());

    if (!FEngine->BackupExists()) {
        box(L"Geri yuklenecek yedek bulunamadi.", MB_ICONWARNING | MB_OK);
        return;
    }
    std::wstring date;
    int64_t size = 0;
    if (!FEngine->GetBackupInfo(date, size)) {
        box(L"Yedek bilgisi okunamadi. Yedek bozuk olabilir.", MB_ICONWARNING | MB_OK);
        return;
    }
    if (box(WizardRules::RestoreQuestion(date, size, FEngine->BackupDir()),
            MB_ICONQUESTION | MB_YESNO) != IDYES)
        return;
    // The box ran the message loop: anything may have happened meanwhile.
    if (FCloseDeferred || FCurrentPage != 0 || FIsInstalling || FRestoreStarted ||
        FEngine->IsRunning())
        return;
    FEngine->DetectExistingInstall();
    if (FEngine->InstallDir().empty()) {
        box(L"Kurulu CorvaneZideroZUR bulunamadi.", MB_ICONWARNING | MB_OK);
        return;
    }

    started = true;
    FRestoreStarted = true;
    BindEngineEvents();
    FIsInstalling = true;
    GoToPage(2);
    SetCaption(lblInstallTitle, L"Geri Yukleme");
    SetCaption(lblCurrentStep, L"Hazirlaniyor...");
    FPendingLog.clear();
    SetWindowTextW(memoLog, L"");
    SendMessageW(pbProgress, PBM_SETPOS, 0, 0);
    StartRestoreThread();
}

void TfrmSetup::StartRestoreThread() {
    std::shared_ptr<TReportLink> link = FLink;
    TSetupEngine* engine = FEngine.get();
    {
        std::lock_guard<std::recursive_mutex> lock(link->Lock);
        link->RestoreRunning = true;
    }
    try {
        std::thread([link, engine] {
            std::wstring escaped;
            bool failed = false;
            try {
                engine->ExecuteRollback(); // reports its own outcome
            } catch (const ESetupError& e) {
                failed = true;
                escaped = e.Message();
            } catch (const std::exception& e) {
                failed = true;
                escaped = ErrorText(e);
            } catch (...) {
                failed = true;
                escaped = L"Geri yukleme beklenmeyen bir hatayla sonlandi.";
            }
            std::lock_guard<std::recursive_mutex> lock(link->Lock);
            if (failed && link->Form) {
                try {
                    link->Form->OnEngineFinished({TRunResult::Failed, escaped});
                } catch (...) {
                    // nowhere left to report to on this thread
                }
            }
            // The thread's last touch: the window may free the engine from now on.
            link->RestoreRunning = false;
            link->Changed.notify_all();
        }).detach();
    } catch (const std::exception& e) {
        {
            std::lock_guard<std::recursive_mutex> lock(link->Lock);
            link->RestoreRunning = false;
        }
        // Never leave the page running with nothing behind it.
        const std::wstring msg = L"Geri yukleme baslatilamadi: " + ErrorText(e);
        OnEngineLog(L"HATA: " + msg);
        OnEngineFinished({TRunResult::Failed, msg});
    }
}
