// TfrmSetup: creation and destruction, the page model, the buttons and the settings page. A run
// and its events are in uMainRun.cpp, the welcome page's restore in uMainRestore.cpp, the
// controls and their drawing in uMainLayout.cpp.
#include "uMain.h"

#include <commctrl.h>

#include <chrono>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uPayload.h"
#include "uSetupEngine.h"
#include "uWizardRules.h"

namespace {

constexpr COLORREF kDone = RGB(0x80, 0xFF, 0x80);
constexpr COLORREF kCurrent = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kToCome = RGB(0x80, 0x80, 0x80);

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
