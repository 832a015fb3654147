#pragma once
// TfrmUninstall: the uninstaller's small window in the wizard's look. A question page (remove
// the program, and optionally the database with a second question), then a progress page with
// the log of the run and its result.
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "uGdi.h"
#include "uUiQueue.h"
#include "uUiSystem.h"
#include "uUninstaller.h"
#include "uWindow.h"

class TfrmUninstall {
public:
    // Runs one removal with the plan's folders, the database box copied in, on a worker thread.
    // Log lines and step reports may come from that thread.
    using TLogSink = std::function<void(const std::wstring&)>;
    using TStepSink = std::function<void(int index, int total)>;
    using TRunner = std::function<TUninstaller::TResult(const TUninstallPlan&, TLogSink, TStepSink,
                                                        TUninstaller::TCancelled)>;

    TfrmUninstall(TUiSystem& ui, TUninstallPlan plan, TRunner runner);
    ~TfrmUninstall();
    TfrmUninstall(const TfrmUninstall&) = delete;
    TfrmUninstall& operator=(const TfrmUninstall&) = delete;

    bool Create(int showCmd);
    HWND Handle() const { return FHandle; }
    void SetQuitOnDestroy(bool quit) { FQuitOnDestroy = quit; }
    // The database switch: the box is ticked once the user confirms it in the box's question.
    void OfferDatabase();
    // The program's exit code: removed, failed, or cancelled (also when closed before "Kaldır").
    int ExitCode() const { return FExitCode; }

private:
    friend struct TFormProc<TfrmUninstall>;
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void BuildControls();
    HWND AddControl(const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int w,
                    int h, HFONT font);
    void Paint();
    LRESULT ColorStatic(HDC dc, HWND ctl);

    void chkDatabaseClick();
    void btnRemoveClick();
    void btnCancelClick();
    void CloseQuery(bool& canClose);
    void AppendLog(const std::wstring& line);
    void ShowStep(int index, int total);
    void ShowResult(TUninstaller::TResult result);

    TUiSystem& FUi;
    TUninstallPlan FPlan;
    TRunner FRunner;
    HWND FHandle = nullptr;
    bool FQuitOnDestroy = false;
    bool FRunning = false;
    bool FDone = false;
    bool FClosing = false; // cancelling was confirmed: close when the result arrives
    int FExitCode = EXIT_CANCELLED;
    std::atomic<bool> FCancelled{false};
    std::thread FWorker;
    TUiQueue FUiQueue;
    TFontCache FFonts;
    TBrushCache FBrushes;
    COLORREF FResultColor = RGB(0x80, 0x00, 0x00);

    HWND lblAppName = nullptr, lblAppDesc = nullptr;
    HWND lblQuestion = nullptr, lblInfo = nullptr, chkDatabase = nullptr;
    HWND lblCurrentStep = nullptr, memoLog = nullptr;
    HWND pbProgress = nullptr, btnRemove = nullptr, btnCancel = nullptr;
};

// The window's caption, also the caption of its message boxes.
inline constexpr const wchar_t* UNINSTALL_TITLE = L"Corvane Market Pos Kaldırma";
