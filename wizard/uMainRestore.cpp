// TfrmSetup: the welcome page's backup line and the restore it offers, run on a thread of its own.
#include "uMain.h"

#include <commctrl.h>

#include <thread>

#include "uSetupEngine.h"
#include "uWizardRules.h"

// --- welcome page -------------------------------------------------------------------------------

void TfrmSetup::UpdateBackupInfo() {
    SetVisible(btnGeriYukle, false);
    SetVisible(lblYedekBilgi, false);
    SetVisible(lblYarimGuncelleme, false);
    try {
        std::unique_ptr<TSetupEngine> probe = FSystem.CreateEngine();
        probe->DetectExistingInstall();
        // Detection leaves the folder empty: the installed one is looked up here.
        probe->SetInstallDir(FSystem.InstalledDir());
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
    FEngine->SetInstallDir(FSystem.InstalledDir());

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
