#include "uUnattended.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "uCommandLine.h"
#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uHardening.h"
#include "uLogFile.h"
#include "uMain.h"
#include "uPayload.h"
#include "uSetupEngine.h"
#include "uWizardRules.h"

namespace {

const wchar_t* const kAdminText =
    L"Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır!\r\n\r\n"
    L"EXE'ye sağ tıklayın > \"Yönetici olarak çalıştır\" seçin.";
// An installation takes minutes; a run still going after this is hung.
constexpr int kRunLimitMs = 12 * 60 * 60 * 1000;
// /SP: how long each page stays in view before the window moves on, and the finish page.
constexpr int kPagePauseMs = 700;
constexpr int kFinishPauseMs = 1500;

// Where the lines of a run go besides the window (the run's log file and the one /LOG= names),
// and the outcome the run reported. Reached from any thread.
class TRunReport {
public:
    // elevated: only then is the shared Logs folder used (and made). Returns why the file
    // /LOG= names was refused; empty when it is open or none was named.
    std::wstring Open(const TSetupSwitches& s, bool elevated) {
        if (elevated)
            OpenRunLog(FRunLog, L"kurulum");
        std::wstring why;
        if (!s.LogPath.empty() && !FUserLog.OpenAppend(s.LogPath, &why))
            return why.empty() ? L"açılamadı" : why;
        return std::wstring();
    }
    void Line(const std::wstring& msg) {
        FRunLog.WriteLine(msg);
        FUserLog.WriteLine(msg);
    }
    void Header(TWizardSystem& sys, const std::vector<std::wstring>& args) {
        const std::wstring version = sys.ProgramVersion();
        Line(L"Kurulum dosyası: " + EngineRules::ExtractFileName(sys.ExePath()) + L" (sürüm " +
             (version.empty() ? L"bilinmiyor" : version) + L")");
        Line(L"Komut satırı: " + (args.empty() ? L"(parametre yok)" : JoinArguments(args)));
        wchar_t name[256] = {};
        DWORD size = 256;
        Line(L"Kullanıcı: " + std::wstring(GetUserNameW(name, &size) ? name : L"?"));
        size = 256;
        Line(L"Bilgisayar: " + std::wstring(GetComputerNameW(name, &size) ? name : L"?"));
    }
    int End(int code) {
        Line(L"Çıkış kodu: " + std::to_wstring(code));
        return code;
    }
    // A message the user would have seen in a box: one line in the log.
    void Message(const std::wstring& text) {
        std::wstring line;
        for (wchar_t c : text)
            if (c == L'\n')
                line += L' ';
            else if (c != L'\r')
                line += c;
        Line(L"MESAJ: " + line);
    }
    void Finished(const TRunOutcome& outcome) {
        std::lock_guard<std::mutex> guard(FLock);
        FFinished = true;
        FOutcome = outcome;
        FChanged.notify_all();
    }
    bool IsFinished() {
        std::lock_guard<std::mutex> guard(FLock);
        return FFinished;
    }
    bool WaitFinished(int ms) {
        std::unique_lock<std::mutex> lock(FLock);
        return FChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FFinished; });
    }
    // The exit code of a run that got as far as starting, or of a failure before it started.
    int ExitCode() {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FFinished)
            return EXIT_FAILED;
        switch (FOutcome.Result) {
        case TRunResult::Succeeded:
            return EXIT_OK;
        case TRunResult::Cancelled:
            return EXIT_CANCELLED;
        case TRunResult::RollbackFailed:
            return EXIT_FAILED_ROLLBACK_FAILED;
        case TRunResult::RolledBack:
            return EXIT_FAILED_ROLLED_BACK;
        case TRunResult::Failed:
            break;
        }
        return EXIT_FAILED;
    }

private:
    TLogFile FRunLog, FUserLog;
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FFinished = false;
    TRunOutcome FOutcome;
};

// The system of an unattended window: no box is shown, its text goes to the log and the box
// takes its default answer (OK, or the default button of a question).
class TQuietSystem : public TWizardSystem {
public:
    TQuietSystem(TWizardSystem& inner, TRunReport& report) : FInner(inner), FReport(report) {}
    bool IsAdmin() override { return FInner.IsAdmin(); }
    std::wstring ExePath() override { return FInner.ExePath(); }
    std::wstring ProgramVersion() override { return FInner.ProgramVersion(); }
    INT_PTR ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                             const wchar_t* params, const std::wstring& dir, int show) override {
        return FInner.ShellExecuteFile(owner, verb, file, params, dir, show);
    }
    bool StartAsSignedInUser(const std::wstring& file, const std::wstring& dir) override {
        return FInner.StartAsSignedInUser(file, dir);
    }
    bool RunElevatedAndWait(const std::wstring& file, const std::wstring& params,
                            const std::wstring& dir, DWORD& exitCode) override {
        return FInner.RunElevatedAndWait(file, params, dir, exitCode);
    }
    int ShowMessageBox(HWND, const std::wstring& text, UINT type) override {
        FReport.Message(text);
        if ((type & MB_TYPEMASK) == MB_YESNO)
            return (type & MB_DEFMASK) == MB_DEFBUTTON2 ? IDNO : IDYES;
        return IDOK;
    }
    DWORD LogicalDrives() override { return FInner.LogicalDrives(); }
    UINT DriveType(const std::wstring& root) override { return FInner.DriveType(root); }
    std::optional<uint64_t> FreeBytes(const std::wstring& root) override {
        return FInner.FreeBytes(root);
    }
    std::wstring RecordedInstallLocation() override { return FInner.RecordedInstallLocation(); }
    std::unique_ptr<TSetupEngine> CreateEngine() override { return FInner.CreateEngine(); }
    std::unique_ptr<TPayloadExtractor> CreatePayload() override { return FInner.CreatePayload(); }

private:
    TWizardSystem& FInner;
    TRunReport& FReport;
};

bool IsUpdateExe(TWizardSystem& sys, const TSetupSwitches& s) {
    const std::wstring name =
        s.ModeName.empty() ? EngineRules::ExtractFileName(sys.ExePath()) : s.ModeName;
    return name.find(L"Update") != std::wstring::npos;
}

// What the switches ask that this machine cannot give; empty when the run may start.
std::wstring CheckSwitches(TWizardSystem& sys, const TSetupSwitches& s) {
    const std::vector<WizardRules::TDriveItem> drives = sys.FixedDrives();
    auto fixed = [&drives](wchar_t letter) {
        for (const WizardRules::TDriveItem& d : drives)
            if (d.Letter == letter)
                return true;
        return false;
    };
    if (s.Drive && !fixed(*s.Drive))
        return L"Kurulum diski sabit bir disk değil: " + std::wstring(1, *s.Drive) + L":";
    if (s.DbDrive && !fixed(*s.DbDrive))
        return L"Veritabanı diski sabit bir disk değil: " + std::wstring(1, *s.DbDrive) + L":";
    if (s.Restore) {
        std::unique_ptr<TSetupEngine> probe = sys.CreateEngine();
        probe->SetInstallDir(sys.InstalledDir());
        std::wstring date;
        int64_t size = 0;
        if (probe->InstallDir().empty() || !probe->BackupExists() ||
            !probe->GetBackupInfo(date, size))
            return L"Geri yuklenecek yedek bulunamadi.";
    }
    return std::wstring();
}

// A bounded message loop on the UI thread: runs the window's messages until cond holds.
bool PumpUntil(TfrmSetup& form, const std::function<bool()>& cond, int ms) {
    return PumpMessagesUntil([&form] { return form.Handle(); }, cond, ms);
}

void PumpFor(TfrmSetup& form, int ms) {
    PumpUntil(
        form, [&form] { return !form.Handle(); }, ms);
}

// /S: the settings page's flow and the restore without a window, with the same checks, log
// lines and engine calls as the window.
class TSilentRun {
public:
    TSilentRun(TWizardSystem& sys, const TSetupSwitches& s, TRunReport& report)
        : FSys(sys), FSwitches(s), FReport(report) {}

    int Run() {
        try {
            // Held from the start, as the window does before its first page.
            FPayload = FSys.CreatePayload();
            FPayload->HoldSetupFile();
            FEngine = FSys.CreateEngine();
            FEngine->SetVersion(FSys.ProgramVersion());
            FEngine->SetModeName(FSwitches.ModeName);
            FEngine->SetOnLog([this](const std::wstring& m) { FReport.Line(m); });
            FEngine->SetOnFinished([this](const TRunOutcome& o) { FReport.Finished(o); });
            if (FSwitches.Restore) {
                FEngine->SetInstallDir(FSys.InstalledDir());
                FEngine->DetectExistingInstall();
                FEngine->ExecuteRollback(); // reports its own outcome
            } else if (Prepare()) {
                FEngine->Execute();
                if (!FReport.WaitFinished(kRunLimitMs))
                    FEngine->Cancel();
            }
        } catch (const ESetupError& e) {
            Fail(e.Message());
        } catch (const std::exception& e) {
            Fail(ErrorText(e));
        }
        FEngine.reset();  // waits for the worker
        FPayload.reset(); // it holds the extraction folder open
        // Only a folder of the extraction's own making.
        if (!FExtractedDir.empty() &&
            EngineRules::ExtractFileName(FExtractedDir).rfind(L"CorvaneMarketSetup_", 0) == 0) {
            try {
                DeleteDirRecursive(FExtractedDir);
            } catch (...) {
                // a temporary folder left behind is not worth failing the run
            }
        }
        return FReport.ExitCode();
    }

private:
    void Fail(const std::wstring& msg) {
        FReport.Line(L"HATA: " + msg);
        FReport.Finished({TRunResult::Failed, msg});
    }

    bool Prepare() {
        const bool updateExe = IsUpdateExe(FSys, FSwitches);
        FEngine->DetectExistingInstall();
        std::vector<WizardRules::TDriveItem> drives = FSys.FixedDrives();
        if (!updateExe)
            for (WizardRules::TDriveItem& d : drives)
                d.HasInstallDir = false;
        wchar_t drive = 0;
        if (FSwitches.Drive)
            drive = *FSwitches.Drive;
        else if (const int pick = WizardRules::PreselectDrive(drives, updateExe); pick >= 0)
            drive = drives[static_cast<size_t>(pick)].Letter;
        if (!drive) {
            FReport.Message(L"Lütfen bir disk seçin!");
            return false;
        }
        FEngine->SetInstallDir(std::wstring(1, drive) + L":\\CorvaneZideroZur");
        FEngine->SetDbDrive(std::wstring(1, FSwitches.DbDrive.value_or(drive)));
        if (updateExe && !DirectoryExists(FEngine->InstallDir())) {
            FReport.Message(L"Kurulum klasörü bulunamadı: " + FEngine->InstallDir() +
                            L"\r\nGüncelleme için önce program kurulu olmalıdır.");
            return false;
        }
        FEngine->SetOptDemoData(FSwitches.Demo.value_or(false));
        FEngine->SetOptDesktopShortcut(FSwitches.Shortcut.value_or(true));
        FEngine->SetOptFirewall(FSwitches.Firewall.value_or(true));
        FEngine->SetOptRemoteAccess(FSwitches.Remote.value_or(true));
        FEngine->SetOptCorvaneSync(FSwitches.Service.value_or(true));
        FEngine->SetOptCorvaneDBOnly(FSwitches.DbOnly.value_or(false));
        if (FEngine->OptCorvaneDBOnly() && !DirectoryExists(FEngine->InstallDir())) {
            FReport.Message(L"Kurulum klasörü bulunamadı: " + FEngine->InstallDir() +
                            L"\r\n\r\nCorvaneDB kurulumu için CorvaneZideroZur klasörü mevcut "
                            L"olmalıdır.");
            return false;
        }
        if (FPayload->HasPayload()) {
            FReport.Line(L"Dosyalar çıkarılıyor...");
            const std::wstring dir = FPayload->ExtractToTemp(); // raises on failure
            FExtractedDir = dir;
            FEngine->SetSourceDir(dir);
            FReport.Line(L"Geçici klasör: " + dir);
        } else {
            const std::wstring dir = EngineRules::ExtractFileDir(FSys.ExePath());
            FEngine->SetSourceDir(dir);
            FReport.Line(L"Geliştirme modu: " + dir);
            if (updateExe && !dir.empty())
                FEngine->SetSourceDir(FEngine->InstallDir());
        }
        return true;
    }

    TWizardSystem& FSys;
    const TSetupSwitches& FSwitches;
    TRunReport& FReport;
    std::unique_ptr<TPayloadExtractor> FPayload;
    std::unique_ptr<TSetupEngine> FEngine;
    std::wstring FExtractedDir;
};

// The arguments with the path of /LOG= made full against the current folder.
std::vector<std::wstring> WithFullLogPath(std::vector<std::wstring> args) {
    for (std::wstring& arg : args)
        if (arg.size() > 5 && (arg[0] == L'/' || arg[0] == L'-') &&
            EngineRules::SameTextAscii(arg.substr(1, 4), L"LOG="))
            arg = arg.substr(0, 5) + FullPathName(arg.substr(5));
    return args;
}

// Reports a problem found before anything ran: a box unless silent, a line of the log always.
void Tell(TWizardSystem& sys, const TSetupSwitches& s, TRunReport& report, const std::wstring& text,
          UINT icon) {
    report.Message(text);
    if (!s.Silent)
        sys.ShowMessageBox(nullptr, text, icon | MB_OK);
}

} // namespace

// Drives the window as a user would: the settings the switches give, then the pages.
class TAutoPilot {
public:
    explicit TAutoPilot(TfrmSetup& form) : F(form) {}

    void ApplySettings(const TSetupSwitches& s) {
        if (s.Drive && Select(F.cbDrive, *s.Drive))
            F.cbDriveChange(F.cbDrive);
        if (s.DbDrive && Select(F.cbDbDrive, *s.DbDrive))
            F.cbDbDriveChange(F.cbDbDrive);
        if (s.DbOnly) {
            SendMessageW(F.cbKurulumTipi, CB_SETCURSEL, *s.DbOnly ? 1 : 0, 0);
            F.cbKurulumTipiChange(F.cbKurulumTipi);
        }
        const std::pair<const std::optional<bool>&, HWND> boxes[] = {
            {s.Shortcut, F.chkDesktopShortcut},
            {s.Firewall, F.chkFirewall},
            {s.Remote, F.chkRemoteAccess},
            {s.Service, F.chkCorvaneSync},
            {s.Demo, F.chkDemoData}};
        for (const auto& [value, box] : boxes)
            if (value)
                SendMessageW(box, BM_SETCHECK, *value ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    // The finish page does not start the till program: nobody is there to use it.
    void NoTillProgram() { SendMessageW(F.chkRunApp, BM_SETCHECK, BST_UNCHECKED, 0); }
    void Next() { F.btnNextClick(F.btnNext); }
    void Restore() { F.btnGeriYukleClick(F.btnGeriYukle); }
    bool Running() const { return F.FIsInstalling; }
    int Page() const { return F.FCurrentPage; }

private:
    static bool Select(HWND combo, wchar_t letter) {
        const std::wstring item = std::wstring(1, letter) + L":";
        const LRESULT i = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(item.c_str()));
        if (i == CB_ERR)
            return false;
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
        return true;
    }

    TfrmSetup& F;
};

namespace {

// The window, as the user drives it or (/SP, /RESTORE) driving itself.
int RunWindow(TWizardSystem& sys, const TSetupSwitches& s, TRunReport& report, int showCmd) {
    const bool driven = s.WithProgress || s.Restore;
    TQuietSystem quiet(sys, report);
    TfrmSetup form(driven ? static_cast<TWizardSystem&>(quiet) : sys);
    form.SetLogSink([&report](const std::wstring& m) { report.Line(m); });
    form.SetOnResult([&report](const TRunOutcome& o) { report.Finished(o); });
    if (s.WithProgress)
        form.SetIgnoreCloseBox(true);
    form.SetModeName(s.ModeName);
    if (!form.Create(driven ? SW_SHOWNORMAL : showCmd))
        return EXIT_FAILED;
    TAutoPilot pilot(form);
    pilot.ApplySettings(s);
    if (!driven) {
        form.SetQuitOnDestroy(true);
        RunMessageLoop([&form] { return form.Handle(); });
        // With or without switches the run's result counts: a batch file sees a failure too.
        return report.IsFinished() ? report.ExitCode() : EXIT_CANCELLED;
    }
    pilot.NoTillProgram();
    PumpFor(form, kPagePauseMs);
    // A check that refused (the page stayed as it was, its box went to the log) ends the run
    // as failed; a window closed before the run started, as cancelled.
    bool refused = false;
    if (form.Handle()) {
        if (s.Restore) {
            pilot.Restore();
            refused = form.Handle() && !pilot.Running() && !report.IsFinished();
        } else {
            pilot.Next();
            PumpFor(form, kPagePauseMs);
            if (form.Handle() && pilot.Page() == 1) {
                pilot.Next();
                refused = form.Handle() && !pilot.Running() && !report.IsFinished();
            }
        }
    }
    const bool started = form.Handle() && (pilot.Running() || report.IsFinished());
    if (started) {
        PumpUntil(
            form, [&] { return report.IsFinished() || !form.Handle(); }, kRunLimitMs);
        PumpFor(form, kFinishPauseMs);
    }
    if (form.Handle()) {
        form.Close();
        PumpUntil(
            form, [&form] { return !form.Handle(); }, 60 * 1000);
    }
    if (!started)
        return refused ? EXIT_FAILED : EXIT_CANCELLED;
    return report.IsFinished() ? report.ExitCode() : EXIT_CANCELLED;
}

} // namespace

int RunSetupProgram(TWizardSystem& sys, const std::vector<std::wstring>& args, int showCmd) {
    const TSetupSwitches s = ParseSwitches(args);
    if (!s.Error.empty() || s.Help) {
        TRunReport report;
        report.Open(s, sys.IsAdmin());
        report.Header(sys, args);
        if (!s.Error.empty()) {
            Tell(sys, s, report, s.Error + L"\r\n\r\n" + HelpText(), MB_ICONERROR);
            return report.End(EXIT_INVALID_ARGS);
        }
        Tell(sys, s, report, HelpText(), MB_ICONINFORMATION);
        return report.End(EXIT_OK);
    }
    if (!sys.IsAdmin()) {
        // With or without switches this process ends with its elevated copy's code, so that
        // whoever started it learns the run's outcome.
        const std::wstring exe = sys.ExePath();
        DWORD code = ERROR_CANCELLED;
        // The elevated copy starts in the setup file's folder: a relative /LOG= path means the
        // caller's current folder.
        if (sys.RunElevatedAndWait(exe, JoinArguments(WithFullLogPath(args)),
                                   EngineRules::ExtractFileDir(exe), code))
            return static_cast<int>(code);
        TRunReport report;
        report.Open(s, false);
        report.Header(sys, args);
        Tell(sys, s, report, kAdminText, MB_ICONERROR);
        // Only the user's No is a refusal; anything else that kept the copy from starting is a
        // failed run.
        return report.End(code == ERROR_CANCELLED ? EXIT_ELEVATION_REFUSED : EXIT_FAILED);
    }

    TRunLock mutex(SETUP_MUTEX_NAME);
    TRunReport report;
    const std::wstring why = report.Open(s, true);
    report.Header(sys, args);
    if (!why.empty()) {
        // The run goes on, only without that file.
        const std::wstring text = L"/LOG dosyası kullanılmadı (" + why + L"): " + s.LogPath;
        report.Message(text);
        if (!s.Unattended())
            sys.ShowMessageBox(nullptr, text, MB_ICONWARNING | MB_OK);
    }
    if (mutex.AnotherRunning()) {
        Tell(sys, s, report,
             L"Başka bir Corvane Market kurulumu şu anda çalışıyor.\r\n"
             L"Lütfen o kurulum bittikten sonra tekrar deneyin.",
             MB_ICONWARNING);
        return report.End(EXIT_ALREADY_RUNNING);
    }
    if (const std::wstring problem = CheckSwitches(sys, s); !problem.empty()) {
        Tell(sys, s, report, problem, MB_ICONERROR);
        return report.End(EXIT_INVALID_ARGS);
    }
    if (s.NoCloseApps) {
        // A till in the middle of a sale is never ended: the run waits for another time.
        std::unique_ptr<TSetupEngine> probe = sys.CreateEngine();
        for (const wchar_t* program :
             {L"CorvaneZideroZUR.exe", L"TarvikBridge.exe", L"OmnelBridge.exe"})
            if (probe->Host().IsProcessRunning(program)) {
                Tell(sys, s, report,
                     std::wstring(L"Program çalışıyor: ") + program +
                         L"\r\n/NOCLOSEAPPS ile kurulum yapılmadı; daha sonra tekrar deneyin.",
                     MB_ICONWARNING);
                return report.End(EXIT_APPS_RUNNING);
            }
    }
    if (s.Silent)
        return report.End(TSilentRun(sys, s, report).Run());
    return report.End(RunWindow(sys, s, report, showCmd));
}
