// Program entry of "Uninstall Corvane Market Pos.exe".
//   (no arguments)  the window: question, then the removal with its log
//   /S              silent: no window, no question, the database is never removed
// Exit code 0: everything removed; 1: something failed (the log file says what); 2: cancelled.
//
// Started from the installation folder, the program copies itself into a private temporary
// folder and continues from there, so that the installation folder can go; the copy removes
// itself at the next restart. The internal switches /_kopya=<process id> and /_dizin=<folder>
// tell the copy who started it and which folder that was.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "host/uHardening.h"
#include "uLogFile.h"
#include "uSetupEngine.h"
#include "uUnattended.h"
#include "uUninstallWindow.h"
#include "uUninstaller.h"
#include "host/uWinHandles.h"
#include "host/uWinHost.h"
#include "uWizardSystem.h"

namespace {

const wchar_t* const kExeName = L"Uninstall Corvane Market Pos.exe";
// The silent original waits this long for its copy: every step of a run is bounded, together
// well below this.
constexpr DWORD kCopyRunLimitMs = 15 * 60 * 1000;
// The copy of a window run waits for the original to end before its folder can go.
constexpr DWORD kParentExitLimitMs = 10000;

struct TArgs {
    bool Silent = false;
    bool IsCopy = false;
    DWORD ParentPid = 0;
    std::wstring OriginalDir;
    std::wstring Unknown; // the first argument this program does not know
};

bool StartsWithNoCase(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() &&
           EngineRules::SameTextAscii(s.substr(0, prefix.size()), prefix);
}

TArgs ParseArgs() {
    TArgs args;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (EngineRules::SameTextAscii(a, L"/S")) {
            args.Silent = true;
        } else if (StartsWithNoCase(a, L"/_kopya=")) {
            args.IsCopy = true;
            args.ParentPid = static_cast<DWORD>(wcstoul(a.c_str() + 8, nullptr, 10));
        } else if (StartsWithNoCase(a, L"/_dizin=")) {
            args.OriginalDir = a.substr(8);
        } else if (args.Unknown.empty()) {
            args.Unknown = a;
        }
    }
    LocalFree(argv);
    return args;
}

// What the uninstaller asks of the system beyond its removal steps: the wizard's answers, with
// the uninstaller's caption on its message boxes.
class TUninstallSystem : public TWizardSystem, public TUninstallUi {
public:
    int ShowMessageBox(HWND owner, const std::wstring& text, UINT type) override {
        return TUninstallUi::ShowMessageBox(owner, text, type);
    }
};

// Starts the copy in the private temporary folder; empty process handle when that failed.
TWinHandle StartCopy(const TArgs& args, const std::wstring& exe, const std::wstring& ownDir,
                     std::wstring& why) {
    std::wstring dir;
    if (!CreatePrivateTempDir(L"CorvaneKaldirma_", dir, why))
        return TWinHandle();
    // The copy starts only from a folder held without delete sharing until it runs: nobody can
    // move it aside and put another program at its name meanwhile.
    TWinHandle held(CreateFileW(
        dir.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held) {
        why = SysErrorMessage(GetLastError());
        RemoveDirectoryW(dir.c_str());
        return TWinHandle();
    }
    const std::wstring copy = dir + L"\\" + kExeName;
    if (!CopyFileW(exe.c_str(), copy.c_str(), FALSE)) {
        why = SysErrorMessage(GetLastError());
        RemoveDirectoryW(dir.c_str());
        return TWinHandle();
    }
    // The silent original waits for the copy, so the copy must not wait for it in turn.
    const DWORD parent = args.Silent ? 0 : GetCurrentProcessId();
    const std::wstring line = CopyCommandLine(copy, parent, ownDir, args.Silent);
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(copy.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                        &si, &pi)) {
        why = SysErrorMessage(GetLastError());
        DeleteFileW(copy.c_str());
        RemoveDirectoryW(dir.c_str());
        return TWinHandle();
    }
    CloseHandle(pi.hThread);
    return TWinHandle(pi.hProcess);
}

std::wstring ResultWord(int code) {
    return code == EXIT_REMOVED           ? L"0 (kaldırıldı)"
           : code == EXIT_FAILED          ? L"1 (hata)"
           : code == EXIT_ALREADY_RUNNING ? L"1618 (başka bir kurulum çalışıyor)"
                                          : L"2 (iptal)";
}

// The removal itself, in this process: log file, plan, window or silent run.
int RunHere(const TArgs& args, TUninstallSystem& system, const std::wstring& exe,
            const std::wstring& originalDir, const std::wstring& copyNote, int showCmd) {
    TLogFile logFile;
    OpenRunLog(logFile, L"kaldirma");
    logFile.WriteLine(L"Uninstall Corvane Market Pos: " + exe +
                      (args.Silent ? L" /S (sessiz)" : L""));
    if (!copyNote.empty())
        logFile.WriteLine(copyNote);

    // Never beside a setup: it would install what this run removes, or the other way round.
    TRunLock lock(SETUP_MUTEX_NAME);
    if (lock.AnotherRunning()) {
        logFile.WriteLine(L"MESAJ: Başka bir Corvane Market kurulumu veya kaldırması şu anda "
                          L"çalışıyor. Lütfen o bittikten sonra tekrar deneyin.");
        if (!args.Silent)
            system.ShowMessageBox(nullptr,
                                  L"Başka bir Corvane Market kurulumu veya kaldırması şu anda "
                                  L"çalışıyor.\r\nLütfen o bittikten sonra tekrar deneyin.",
                                  MB_OK | MB_ICONWARNING);
        logFile.WriteLine(L"Çıkış kodu: " + ResultWord(EXIT_ALREADY_RUNNING));
        return EXIT_ALREADY_RUNNING;
    }

    if (args.IsCopy) {
        // The copy goes at the next restart, its folder right after it.
        MoveFileExW(exe.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        MoveFileExW(EngineRules::ExtractFileDir(exe).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        if (args.ParentPid != 0) {
            TWinHandle parent(OpenProcess(SYNCHRONIZE, FALSE, args.ParentPid));
            if (parent)
                WaitForSingleObject(parent.Get(), kParentExitLimitMs);
        }
    }

    TSetupEngine paths;
    TUninstallPlan plan = ResolvePlan(originalDir, system.RecordedInstallLocation(),
                                      paths.GetMevcutServisYolu(), paths.GetDesktopPath());
    plan.OwnFile = originalDir + L"\\" + kExeName;
    TRemovalSystem removal;
    const auto run = [&logFile, &removal](const TUninstallPlan& p, TfrmUninstall::TLogSink log,
                                          TfrmUninstall::TStepSink step,
                                          TUninstaller::TCancelled cancelled) {
        const auto both = [&logFile, &log](const std::wstring& line) {
            logFile.WriteLine(line);
            if (log)
                log(line);
        };
        std::unique_ptr<THost> host = CreateWindowsHost();
        // No working folder of ours for the commands: they must not hold the folder that goes.
        host->Attach(both, [] { return std::wstring(); });
        TUninstaller uninstaller(*host, removal, both);
        uninstaller.SetStepSink(step);
        return uninstaller.Run(p, cancelled);
    };

    int code = EXIT_CANCELLED;
    if (args.Silent) {
        const TUninstaller::TResult result = run(plan, nullptr, nullptr, nullptr);
        code = result == TUninstaller::TResult::Success  ? EXIT_REMOVED
               : result == TUninstaller::TResult::Failed ? EXIT_FAILED
                                                         : EXIT_CANCELLED;
    } else {
        TfrmUninstall form(system, plan, run);
        form.SetQuitOnDestroy(true);
        if (form.Create(showCmd)) {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (form.Handle() && IsDialogMessageW(form.Handle(), &msg))
                    continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        code = form.ExitCode();
    }
    logFile.WriteLine(L"Çıkış kodu: " + ResultWord(code));
    return code;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCmd) {
    HardenDllSearchOrder();
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    TUninstallSystem system;
    const TArgs args = ParseArgs();
    if (!args.Unknown.empty()) {
        // A mistyped switch must never start a removal nobody asked for.
        if (!args.Silent)
            system.ShowMessageBox(nullptr,
                                  L"Bilinmeyen parametre: " + args.Unknown +
                                      L"\r\n\r\nKullanım: \"Uninstall Corvane Market Pos.exe\" "
                                      L"[/S]",
                                  MB_OK | MB_ICONERROR);
        return EXIT_FAILED;
    }
    const std::wstring exe = system.ExePath();

    if (!system.IsAdmin()) {
        // Silent runs ask nothing, not even for elevation.
        if (args.Silent)
            return EXIT_FAILED;
        const INT_PTR started = system.ShellExecuteFile(
            nullptr, L"runas", exe, nullptr, EngineRules::ExtractFileDir(exe), SW_SHOWNORMAL);
        if (started > 32)
            return EXIT_REMOVED;
        system.ShowMessageBox(nullptr,
                              L"Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır!\r\n\r\n"
                              L"EXE'ye sağ tıklayın > \"Yönetici olarak çalıştır\" seçin.",
                              MB_OK | MB_ICONERROR);
        return EXIT_CANCELLED;
    }

    if (args.IsCopy)
        return RunHere(args, system, exe, args.OriginalDir, std::wstring(), showCmd);

    const std::wstring ownDir = EngineRules::ExtractFileDir(exe);
    std::wstring why;
    TWinHandle copy = StartCopy(args, exe, ownDir, why);
    if (!copy) {
        // Without the copy the run goes on from here; this program's own file then stays
        // until the next restart.
        return RunHere(args, system, exe, ownDir,
                       L"! Geçici kopya başlatılamadı (" + why + L"), buradan devam ediliyor",
                       showCmd);
    }
    if (!args.Silent)
        return EXIT_REMOVED;
    if (WaitForSingleObject(copy.Get(), kCopyRunLimitMs) != WAIT_OBJECT_0)
        return EXIT_FAILED;
    DWORD code = EXIT_FAILED;
    if (!GetExitCodeProcess(copy.Get(), &code))
        code = EXIT_FAILED;
    return static_cast<int>(code);
}
