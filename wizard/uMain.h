#pragma once
// TfrmSetup: the wizard window and its four pages (welcome, settings, installation, finish).
// Plain Win32 with the version 6 common controls; every control is a child window laid out at
// fixed pixel positions.
#include <windows.h>

#include <commctrl.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "uGdi.h"
#include "uLook.h"
#include "uRunOutcome.h"
#include "uUiQueue.h"
#include "uWindow.h"
#include "uWizardSystem.h"

class TSetupEngine;
class TPayloadExtractor;

class TfrmSetup {
public:
    explicit TfrmSetup(TWizardSystem& system);
    ~TfrmSetup();
    TfrmSetup(const TfrmSetup&) = delete;
    TfrmSetup& operator=(const TfrmSetup&) = delete;

    // Creates the window, centred on the screen; FormCreate runs during creation. False when the
    // process is to end at once instead (relaunched elevated, or the elevation was refused).
    bool Create(int showCmd);
    HWND Handle() const { return FHandle; }
    // The main window ends the message loop when it is destroyed.
    void SetQuitOnDestroy(bool quit) { FQuitOnDestroy = quit; }
    // /MODE=: the setup file name whose mode the window and the engine take (before Create).
    void SetModeName(const std::wstring& name) { FModeName = name; }
    // The close box and Alt+F4 do nothing (a run with progress is never cancelled by a stray
    // click); Close() still closes.
    void SetIgnoreCloseBox(bool ignore) { FIgnoreCloseBox = ignore; }
    // Asks the window to close; the close guard decides.
    void Close();

    // Controls by their names and the colours they are drawn in: for tools that drive the
    // window and for its tests.
    HWND Control(const std::wstring& name) const;
    COLORREF TextColor(const std::wstring& name) const;
    COLORREF FillColor(const std::wstring& name) const;

    // Receives every line of the window's log as it is reported, in the window's order, on the
    // reporting thread (the log file on disk).
    void SetLogSink(std::function<void(const std::wstring&)> sink) { FLogSink = std::move(sink); }
    // Told of the result of a run or restore once the window has shown it.
    void SetOnResult(std::function<void(const TRunOutcome& Outcome)> onResult) {
        FOnResult = std::move(onResult);
    }

private:
    // Drives the window through its pages for an unattended run (uUnattended.cpp).
    friend class TAutoPilot;

    enum class TKind { Panel, Circle, Rect, Label, Button, CheckBox, DropDown, Memo, Progress };
    enum class TSizing { Auto, Wraps, Fixed };

    struct TControl {
        TfrmSetup* Form = nullptr;
        std::wstring Name;
        TKind Kind = TKind::Label;
        HWND Handle = nullptr;
        TControl* Parent = nullptr;
        TSizing Sizing = TSizing::Auto;
        COLORREF Text = CLR_DEFAULT; // CLR_DEFAULT: the system's window-text colour
        COLORREF Fill = CLR_NONE;    // CLR_NONE: the parent's background
    };

    struct TFontStyle {
        int Height = 12;
        bool Bold = false;
        bool Italic = false;
        const wchar_t* Face = Look::Face;
    };

    friend struct TFormProc<TfrmSetup>;
    static LRESULT CALLBACK PanelProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void HandleCommand(HWND ctl, WORD code);
    LRESULT ColorControl(HDC dc, HWND ctl);
    void PaintPanel(TControl& c);

    // Building the controls (uMainLayout.cpp).
    void BuildControls();
    TControl& Add(const std::wstring& name, TKind kind, TControl* parent, int x, int y, int w,
                  int h, const wchar_t* cls, DWORD style, DWORD exStyle, const std::wstring& text);
    TControl& AddPanel(const std::wstring& name, TControl* parent, int x, int y, int w, int h,
                       COLORREF fill);
    TControl& AddShape(const std::wstring& name, TKind kind, TControl* parent, int x, int y, int w,
                       int h, COLORREF fill);
    TControl& AddLabel(const std::wstring& name, TControl* parent, int x, int y, int w, int h,
                       const std::wstring& caption, TFontStyle font, COLORREF color,
                       TSizing sizing = TSizing::Auto);
    TControl& AddButton(const std::wstring& name, TControl* parent, int x, int y, int w, int h,
                        const std::wstring& caption, TFontStyle font);
    TControl& AddCheckBox(const std::wstring& name, TControl* parent, int x, int y, int w, int h,
                          const std::wstring& caption, TFontStyle font, bool checked);
    TControl& AddDropDown(const std::wstring& name, TControl* parent, int x, int y, int w, int h,
                          TFontStyle font);
    HFONT Font(const TFontStyle& style);
    void SetFont(HWND wnd, HFONT font);
    void SetCaption(HWND wnd, const std::wstring& text);
    void AutoSize(TControl& c);
    void SetTextColor(HWND wnd, COLORREF color);
    void SetFillColor(HWND wnd, COLORREF color);
    TControl* Find(HWND wnd) const;
    COLORREF BackgroundOf(const TControl* c) const;
    void SetTabOrder(const std::vector<HWND>& order);

    // The window (uMain.cpp).
    void FormCreate(HWND Sender);
    void FormDestroy(HWND Sender);
    void FormCloseQuery(HWND Sender, bool& CanClose);
    void btnNextClick(HWND Sender);
    void btnBackClick(HWND Sender);
    void btnCancelClick(HWND Sender);
    bool IsAdmin();
    void RelaunchElevated();
    std::wstring GetVersionFromExeName();
    void GoToPage(int Index);
    void UpdateStepIndicators();
    void UpdateButtons();
    void StartInstallation();
    bool PrepareSource();
    void ShowExtractProgress(uint64_t written, uint64_t total);
    void CloseFromFinishPage();

    // Settings page.
    void FillDriveLists();
    void cbDriveChange(HWND Sender);
    void cbDbDriveChange(HWND Sender);
    void cbKurulumTipiChange(HWND Sender);
    void UpdateWarnLabel();

    // Installation page and the engine's events.
    void OnEngineLog(const std::wstring& Msg);
    void OnEngineProgress(int Percent, const std::wstring& Step);
    void OnEngineFinished(const TRunOutcome& Outcome);
    void AppendLog(const std::wstring& Msg);
    void FlushLog();
    void RunQueued();
    void ShowProgress(int Percent, const std::wstring& Step);
    void ShowResult(const TRunOutcome& Outcome);

    // Welcome page and the restore.
    void UpdateBackupInfo();
    void btnGeriYukleClick(HWND Sender);
    void BindEngineEvents();
    void StartRestoreThread();

    int ShowMessage(const std::wstring& text, UINT type);

    TWizardSystem& FSystem;
    HWND FHandle = nullptr;
    std::function<void(const std::wstring&)> FLogSink;
    std::function<void(const TRunOutcome&)> FOnResult;
    bool FQuitOnDestroy = false;
    bool FIgnoreCloseBox = false;
    bool FTerminated = false; // FormCreate decided that the process ends at once

    int FCurrentPage = 0;
    std::unique_ptr<TSetupEngine> FEngine;
    std::unique_ptr<TPayloadExtractor> FPayload;
    bool FIsInstalling = false;
    bool FClosing = false;
    bool FNextCloses = false; // failure state: "Kapat" closes instead of the Next flow
    std::wstring FExtractedDir;
    bool FIsUpdateExe = false;
    std::wstring FModeName;
    std::wstring FVersionStr;

    // Between the window and the threads that report to it. The restore thread is not kept by
    // the window, so the window must be able to cut it off and to know when it has ended.
    struct TReportLink {
        std::recursive_mutex Lock; // the UI thread may report while it holds it
        std::condition_variable_any Changed;
        TfrmSetup* Form = nullptr; // null once the window is going: reports go nowhere
        bool RestoreRunning = false;
    };
    std::shared_ptr<TReportLink> FLink = std::make_shared<TReportLink>();
    bool FRestoreStarted = false;
    // Boxes of the restore click that are open. A close request meanwhile waits for the click to
    // end (the click still uses the engine that closing frees) and then closes the window.
    int FClickBoxes = 0;
    bool FCloseDeferred = false;
    // The close question is showing: a second close request is not asked again.
    bool FCloseQuestionOpen = false;

    TUiQueue FUiQueue;
    // Log lines of the batch of procedures being run, put into the memo in one piece: appending
    // line by line costs time in proportion to the whole log, so a long run would slow down to
    // a crawl. Nothing is painted between the procedures of a batch, so the user sees the same.
    std::wstring FPendingLog;
    bool FInBatch = false;
    TFontCache FFonts;
    TBrushCache FBrushes;
    std::vector<std::unique_ptr<TControl>> FControls;
    std::unordered_map<HWND, TControl*> FByHandle;
    std::map<std::wstring, TControl*> FByName;
    int FNextId = 1000;

    // Controls, named as in the layout.
    HWND pnlSidebar = nullptr, lblAppName = nullptr, lblAppDesc = nullptr;
    HWND shpStep[4] = {}, lblStep[4] = {};
    HWND lblVersion = nullptr, pnlContent = nullptr, shpAccent = nullptr, pnlButtons = nullptr;
    HWND pbProgress = nullptr, btnBack = nullptr, btnNext = nullptr, btnCancel = nullptr;
    HWND pcPages = nullptr, tsWelcome = nullptr, tsSettings = nullptr, tsInstall = nullptr,
         tsFinish = nullptr;
    HWND lblWelcomeTitle = nullptr, lblWelcomeDesc = nullptr, lblWelcomeWarn = nullptr;
    HWND lblYedekBilgi = nullptr, btnGeriYukle = nullptr;
    // Shown under the backup line when the backup's update was cut off.
    HWND lblYarimGuncelleme = nullptr;
    HWND lblSettingsTitle = nullptr, lblKurulumTipi = nullptr, cbKurulumTipi = nullptr;
    HWND Shape2 = nullptr, lblDriveInfo = nullptr, lblDiskCaption = nullptr, cbDrive = nullptr;
    HWND lblDbDriveInfo = nullptr, lblDbDriveCaption = nullptr, cbDbDrive = nullptr;
    HWND lblUpdateWarn = nullptr, shpDivider = nullptr, lblOptionsCaption = nullptr,
         Shape1 = nullptr;
    HWND chkDesktopShortcut = nullptr, chkFirewall = nullptr, chkRemoteAccess = nullptr,
         chkCorvaneSync = nullptr, chkDemoData = nullptr;
    HWND lblInstallTitle = nullptr, lblCurrentStep = nullptr, memoLog = nullptr;
    HWND lblFinishTitle = nullptr, lblFinishDesc = nullptr, chkRunApp = nullptr;
};
