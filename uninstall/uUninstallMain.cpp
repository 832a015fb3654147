// Program entry of "Uninstall Corvane Market Pos.exe".
//   (no arguments)  the window: question, then the removal with its log
//   /S or -S        silent: no window, no question
//   /VERITABANI     also removes CorvaneDB and the shared data folder (the window asks first)
//   /NORESTART      accepted; the program never restarts the machine
//   /LOG=<path>     also writes the log to that file
// Exit code 0: everything removed; 1603: something failed (the log file says what); 1602:
// cancelled; 3010: what is left goes at the next restart; 87: an unknown switch; 1223: the
// elevation refused; 1618: a setup runs. A run ends when the removal has ended, also when it
// continues in its copy or elevated, with that run's code.
//
// Started from the installation folder, the program copies itself into a private temporary
// folder and continues from there, so that the installation folder can go; the copy removes
// itself at the next restart. The starting program waits: the copy removes everything but the
// starting program's file, hands the result over, waits for the starting program to end and
// then deletes its file and folder. The internal switches /_kopya=<process id>,
// /_devir=<handles> and /_dizin=<folder> tell the copy who started it, the hand-over's
// inherited handles and which folder that was.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uHardening.h"
#include "uLogFile.h"
#include "uInstallation.h"
#include "uUninstallWindow.h"
#include "uUninstaller.h"
#include "uUiSystem.h"
#include "uWinHandles.h"
#include "host/uWinHost.h"
#include "uWindow.h"

namespace {

const wchar_t* const kExeName = L"Uninstall Corvane Market Pos.exe";
// The silent original waits this long for its copy: every step of a run is bounded, together
// well below this.
constexpr DWORD kCopyRunLimitMs = 15 * 60 * 1000;
// A window run waits for a person as well: a copy still running after this hangs.
constexpr DWORD kWindowRunLimitMs = 12 * 60 * 60 * 1000;
// After the hand-over the copy waits this long for the original to end before its file goes.
constexpr DWORD kParentExitLimitMs = 10000;

struct TArgs {
    std::vector<std::wstring> Given; // as the caller gave them, for the elevated relaunch
    std::wstring LogPath;            // /LOG=, made full against the current folder
    bool Silent = false;
    bool RemoveDatabase = false;
    bool IsCopy = false;
    DWORD ParentPid = 0;
    // The hand-over's inherited handles: result event, result mapping, the starting process.
    HANDLE HandOver[3] = {};
    std::wstring OriginalDir;
    std::wstring Unknown; // the first argument this program does not know
};

bool StartsWithNoCase(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() &&
           EngineRules::SameTextAscii(s.substr(0, prefix.size()), prefix);
}

TArgs ParseArgs() {
    TArgs args;
    for (const std::wstring& a : CommandLineArguments()) {
        args.Given.push_back(a);
        if (EngineRules::SameTextAscii(a, L"/S") || EngineRules::SameTextAscii(a, L"-S")) {
            args.Silent = true;
        } else if (EngineRules::SameTextAscii(a, L"/VERITABANI") ||
                   EngineRules::SameTextAscii(a, L"-VERITABANI")) {
            args.RemoveDatabase = true;
        } else if (EngineRules::SameTextAscii(a, L"/NORESTART") ||
                   EngineRules::SameTextAscii(a, L"-NORESTART")) {
            // Nothing here restarts the machine.
        } else if ((StartsWithNoCase(a, L"/LOG=") || StartsWithNoCase(a, L"-LOG=")) &&
                   a.size() > 5) {
            args.LogPath = FullPathName(a.substr(5));
            args.Given.back() = L"/LOG=" + args.LogPath;
        } else if (StartsWithNoCase(a, L"/_kopya=")) {
            args.IsCopy = true;
            args.ParentPid = static_cast<DWORD>(wcstoul(a.c_str() + 8, nullptr, 10));
        } else if (StartsWithNoCase(a, L"/_devir=")) {
            const wchar_t* at = a.c_str() + 8;
            for (HANDLE& h : args.HandOver) {
                wchar_t* end = nullptr;
                h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(at, &end, 10)));
                at = *end == L',' ? end + 1 : end;
            }
        } else if (StartsWithNoCase(a, L"/_dizin=")) {
            args.OriginalDir = a.substr(8);
        } else if (args.Unknown.empty()) {
            args.Unknown = a;
        }
    }
    return args;
}

// The original's side of the hand-over: the copy writes its exit code into Code and sets Done;
// the three handles are inherited by the copy and by nothing else.
struct THandOver {
    TWinHandle Done, Mapping, Self;
    DWORD* Code = nullptr;
    ~THandOver() {
        if (Code)
            UnmapViewOfFile(Code);
    }
    bool Create() {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        Done.Reset(CreateEventW(&sa, TRUE, FALSE, nullptr));
        Mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                         sizeof(DWORD), nullptr));
        HANDLE self = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                             SYNCHRONIZE, TRUE, 0))
            self = nullptr;
        Self.Reset(self);
        if (Mapping)
            Code = static_cast<DWORD*>(MapViewOfFile(Mapping.Get(), FILE_MAP_READ, 0, 0, 0));
        return Done && Mapping && Self && Code;
    }
    std::wstring Argument() const {
        std::wstring text;
        for (const TWinHandle* h : {&Done, &Mapping, &Self})
            text += (text.empty() ? L"" : L",") +
                    std::to_wstring(reinterpret_cast<uintptr_t>(h->Get()));
        return text;
    }
};

// Starts the copy in the private temporary folder; empty process handle when that failed.
TWinHandle StartCopy(const TArgs& args, const std::wstring& exe, const std::wstring& ownDir,
                     THandOver& handOver, std::wstring& why) {
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
    // Without the hand-over the copy runs all the same; this program's file then goes at the
    // next restart, as it did before. Handle values are named only to a copy that inherits them.
    const bool created = handOver.Create();
    HANDLE inherit[] = {handOver.Done.Get(), handOver.Mapping.Get(), handOver.Self.Get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attrs(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrs.data());
    const bool initialized = created && InitializeProcThreadAttributeList(list, 1, 0, &size);
    const bool listed =
        initialized && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                 inherit, sizeof(inherit), nullptr, nullptr);
    const std::wstring line =
        CopyCommandLine(copy, GetCurrentProcessId(), listed ? handOver.Argument() : L"", ownDir,
                        args.Silent, args.LogPath, args.RemoveDatabase);
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(L'\0');
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof(si);
    si.lpAttributeList = listed ? list : nullptr;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(copy.c_str(), cmd.data(), nullptr, nullptr, listed,
                                        listed ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr,
                                        dir.c_str(), &si.StartupInfo, &pi);
    const DWORD error = GetLastError();
    if (initialized)
        DeleteProcThreadAttributeList(list);
    if (!started) {
        why = SysErrorMessage(error);
        DeleteFileW(copy.c_str());
        RemoveDirectoryW(dir.c_str());
        return TWinHandle();
    }
    if (!listed) // the copy did not get the handles: nothing will ever be handed over
        handOver.Done.Reset();
    CloseHandle(pi.hThread);
    return TWinHandle(pi.hProcess);
}

std::wstring ResultWord(int code) {
    return code == EXIT_REMOVED             ? L"0 (kaldırıldı)"
           : code == EXIT_FAILED            ? L"1603 (hata)"
           : code == EXIT_ALREADY_RUNNING   ? L"1618 (başka bir kurulum çalışıyor)"
           : code == EXIT_RESTART_PENDING   ? L"3010 (yeniden başlatmada tamamlanacak)"
           : code == EXIT_INVALID_ARGS      ? L"87 (geçersiz parametre)"
           : code == EXIT_ELEVATION_REFUSED ? L"1223 (yönetici izni verilmedi)"
                                            : L"1602 (iptal)";
}

// The run's log file (only an elevated run makes the shared folder) and the one /LOG= names.
class TRunLogs {
public:
    TRunLogs(const TArgs& args, bool elevated) {
        if (elevated)
            OpenRunLog(FRun, L"kaldirma");
        if (!args.LogPath.empty())
            FUser.OpenAppend(args.LogPath);
    }
    void WriteLine(const std::wstring& line) {
        FRun.WriteLine(line);
        FUser.WriteLine(line);
    }

private:
    TLogFile FRun, FUser;
};

// The removal itself, in this process: log file, plan, window or silent run.
int RunHere(const TArgs& args, TUiSystem& system, const std::wstring& exe,
            const std::wstring& originalDir, const std::wstring& copyNote, int showCmd) {
    TRunLogs logFile(args, true);
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
    }
    // The original waits for the result; it holds its own file until it has ended.
    const HANDLE done = args.HandOver[0], mapping = args.HandOver[1], parent = args.HandOver[2];
    TUninstaller::THandOver handOver;
    if (args.IsCopy && done && mapping && parent) {
        handOver = [done, mapping, parent](TUninstaller::TResult result) {
            if (void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
                *static_cast<DWORD*>(view) = static_cast<DWORD>(ExitCodeOf(result));
                UnmapViewOfFile(view);
                SetEvent(done);
            }
            WaitForSingleObject(parent, kParentExitLimitMs);
        };
    }

    TUninstallPlan plan =
        ResolvePlan(originalDir, Installation::RecordedInstallLocation(),
                    Installation::DatabaseServiceFolder(), Installation::DesktopPath());
    plan.OwnFile = originalDir + L"\\" + kExeName;
    plan.RemoveDatabase = args.RemoveDatabase && args.Silent;
    TRemovalSystem removal;
    const auto run = [&logFile, &removal, &handOver](
                         const TUninstallPlan& p, TfrmUninstall::TLogSink log,
                         TfrmUninstall::TStepSink step, TUninstaller::TCancelled cancelled) {
        const auto both = [&logFile, &log](const std::wstring& line) {
            logFile.WriteLine(line);
            if (log)
                log(line);
        };
        std::unique_ptr<THost> host = CreateWindowsHost();
        host->Attach(both);
        TUninstaller uninstaller(*host, removal, both);
        uninstaller.SetStepSink(step);
        uninstaller.SetHandOver(handOver);
        return uninstaller.Run(p, cancelled);
    };

    int code = EXIT_CANCELLED;
    if (args.Silent) {
        code = ExitCodeOf(run(plan, nullptr, nullptr, nullptr));
    } else {
        TfrmUninstall form(system, plan, run);
        form.SetQuitOnDestroy(true);
        if (form.Create(showCmd)) {
            if (args.RemoveDatabase)
                form.OfferDatabase();
            RunMessageLoop([&form] { return form.Handle(); });
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

    TUiSystem system(UNINSTALL_TITLE);
    const TArgs args = ParseArgs();
    if (!args.Unknown.empty()) {
        // A mistyped switch must never start a removal nobody asked for.
        TRunLogs logs(args, system.IsAdmin());
        logs.WriteLine(L"MESAJ: Bilinmeyen parametre: " + args.Unknown);
        logs.WriteLine(L"Çıkış kodu: " + ResultWord(EXIT_INVALID_ARGS));
        if (!args.Silent)
            system.ShowMessageBox(nullptr,
                                  L"Bilinmeyen parametre: " + args.Unknown +
                                      L"\r\n\r\nKullanım: \"Uninstall Corvane Market Pos.exe\" "
                                      L"[/S] [/VERITABANI] [/LOG=<dosya>]",
                                  MB_OK | MB_ICONERROR);
        return EXIT_INVALID_ARGS;
    }
    const std::wstring exe = system.ExePath();

    if (!system.IsAdmin()) {
        // The elevated copy does the removal; this process ends with its code.
        DWORD code = ERROR_CANCELLED;
        if (system.RunElevatedAndWait(exe, JoinArguments(args.Given),
                                      EngineRules::ExtractFileDir(exe), code))
            return static_cast<int>(code);
        const int result = code == ERROR_CANCELLED ? EXIT_ELEVATION_REFUSED : EXIT_FAILED;
        TRunLogs logs(args, false);
        const std::wstring text =
            L"Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır!\r\n\r\n"
            L"EXE'ye sağ tıklayın > \"Yönetici olarak çalıştır\" seçin.";
        logs.WriteLine(L"MESAJ: Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır!");
        logs.WriteLine(L"Çıkış kodu: " + ResultWord(result));
        if (!args.Silent)
            system.ShowMessageBox(nullptr, text, MB_OK | MB_ICONERROR);
        return result;
    }

    if (args.IsCopy)
        return RunHere(args, system, exe, args.OriginalDir, std::wstring(), showCmd);

    const std::wstring ownDir = EngineRules::ExtractFileDir(exe);
    std::wstring why;
    THandOver handOver;
    TWinHandle copy = StartCopy(args, exe, ownDir, handOver, why);
    if (!copy) {
        // Without the copy the run goes on from here; this program's own file then stays
        // until the next restart.
        return RunHere(args, system, exe, ownDir,
                       L"! Geçici kopya başlatılamadı (" + why + L"), buradan devam ediliyor",
                       showCmd);
    }
    // The copy's result, handed over once the removal has ended; or its exit code when it ended
    // before any removal (cancelled, a setup running, ...).
    const HANDLE waits[] = {copy.Get(), handOver.Done.Get()};
    const DWORD got = WaitForMultipleObjects(handOver.Done ? 2 : 1, waits, FALSE,
                                             args.Silent ? kCopyRunLimitMs : kWindowRunLimitMs);
    DWORD code = EXIT_FAILED;
    if (got == WAIT_OBJECT_0 + 1)
        code = *handOver.Code;
    else if (got != WAIT_OBJECT_0 || !GetExitCodeProcess(copy.Get(), &code))
        code = EXIT_FAILED;
    return static_cast<int>(code);
}
