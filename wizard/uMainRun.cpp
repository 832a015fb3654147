// TfrmSetup: a run from the window: its start (the payload extracted on this thread first) and
// the engine's events, handed over to the UI thread.
#include "uMain.h"

#include <commctrl.h>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uPayload.h"
#include "uSetupEngine.h"
#include "uWizardRules.h"

// --- starting a run -----------------------------------------------------------------------------

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
