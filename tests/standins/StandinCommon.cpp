#include <winsock2.h>
#include <ws2tcpip.h>

#include "StandinCommon.h"

#include <shellapi.h>

#include <cstdlib>

namespace {

std::vector<std::wstring> SplitCommandLine(const std::wstring& text) {
    std::vector<std::wstring> out;
    // CommandLineToArgvW treats its first word as a program name with other quoting rules.
    const std::wstring line = L"x " + text;
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &argc);
    if (argv == nullptr)
        return out;
    for (int i = 1; i < argc; ++i)
        out.emplace_back(argv[i]);
    ::LocalFree(argv);
    return out;
}

bool StartsWith(const std::wstring& s, const std::wstring& prefix) {
    return s.rfind(prefix, 0) == 0;
}

uint32_t ParseNumber(const std::wstring& v) {
    return static_cast<uint32_t>(std::wcstoul(v.c_str(), nullptr, 0));
}

// Applies one switch; false when it is not a stand-in switch.
bool ApplySwitch(const std::wstring& a, TStandinOptions& o) {
    if (!StartsWith(a, L"--standin-"))
        return false;
    const size_t eq = a.find(L'=');
    const std::wstring key = a.substr(0, eq);
    const std::wstring value = eq == std::wstring::npos ? std::wstring() : a.substr(eq + 1);
    if (key == L"--standin-exit")
        o.ExitCode = ParseNumber(value);
    else if (key == L"--standin-hang")
        o.HangMs = ParseNumber(value);
    else if (key == L"--standin-life")
        o.LifeMs = ParseNumber(value);
    else if (key == L"--standin-ignore-close")
        o.IgnoreClose = true;
    else if (key == L"--standin-stop" && value == L"ignore")
        o.IgnoreStop = true;
    else if (key == L"--standin-stop")
        o.StopDelayMs = ParseNumber(value);
    else if (key == L"--standin-ready")
        o.ReadyEvent = value;
    else if (key == L"--standin-lock")
        o.LockPath = value;
    else if (key == L"--standin-report")
        o.ReportPath = value;
    else if (key == L"--standin-journal")
        o.JournalPath = value;
    else if (key == L"--standin-no-ini")
        o.NoIni = true;
    return true;
}

std::wstring EnvName(const std::wstring& exeName) {
    std::wstring stem = exeName;
    if (stem.size() > 4 && _wcsicmp(stem.c_str() + stem.size() - 4, L".exe") == 0)
        stem.resize(stem.size() - 4);
    std::wstring name = L"CORVANE_STANDIN_";
    for (wchar_t c : stem) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        name += (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ? c : L'_';
    }
    return name;
}

std::wstring CurrentDir() {
    wchar_t buf[MAX_PATH * 2] = {};
    const DWORD n = ::GetCurrentDirectoryW(MAX_PATH * 2, buf);
    return std::wstring(buf, n < MAX_PATH * 2 ? n : 0);
}

void WriteReport(const TStandin& s) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    ::GetStartupInfoW(&si);
    std::wstring text = L"flags=" + std::to_wstring(si.dwFlags) + L"\r\n";
    text += L"show=" + std::to_wstring(si.wShowWindow) + L"\r\n";
    text += L"console=" + std::wstring(::GetConsoleWindow() != nullptr ? L"1" : L"0") + L"\r\n";
    text += L"cwd=" + CurrentDir() + L"\r\n";
    text += L"cmdline=" + std::wstring(::GetCommandLineW()) + L"\r\n";
    WriteFileBytes(s.Options.ReportPath, ToUtf8(text));
}

} // namespace

TStandin StandinStart(const wchar_t* commandLine) {
    TStandin s;
    wchar_t path[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    s.ExePath = path;
    const size_t slash = s.ExePath.find_last_of(L"\\/");
    s.ExeName = slash == std::wstring::npos ? s.ExePath : s.ExePath.substr(slash + 1);

    std::string side;
    if (ReadFileBytes(s.ExePath + L".standin", side))
        for (const auto& a : SplitCommandLine(FromUtf8(side)))
            ApplySwitch(a, s.Options);
    // The machine's registry reaches a stand-in however it was started: the setup hands the
    // programs it starts no environment of the caller's.
    wchar_t reg[2048] = {};
    DWORD bytes = sizeof(reg) - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CorvaneStandins", s.ExeName.c_str(),
                       RRF_RT_REG_SZ, nullptr, reg, &bytes) == ERROR_SUCCESS)
        for (const auto& a : SplitCommandLine(reg))
            ApplySwitch(a, s.Options);
    wchar_t env[2048] = {};
    const DWORD n = ::GetEnvironmentVariableW(EnvName(s.ExeName).c_str(), env, 2048);
    if (n > 0 && n < 2048)
        for (const auto& a : SplitCommandLine(env))
            ApplySwitch(a, s.Options);

    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(commandLine, &argc);
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        if (ApplySwitch(argv[i], s.Options))
            s.Options.Passed.emplace_back(argv[i]);
        else
            s.Args.emplace_back(argv[i]);
    }
    if (argv != nullptr)
        ::LocalFree(argv);

    if (!s.Options.JournalPath.empty())
        AppendFileBytes(s.Options.JournalPath,
                        ToUtf8(s.ExeName + L"\t" + CurrentDir() + L"\t" + commandLine + L"\r\n"));
    if (!s.Options.ReportPath.empty())
        WriteReport(s);
    if (s.Options.HangMs > 0)
        ::Sleep(s.Options.HangMs);
    if (s.Options.ExitCode)
        ::ExitProcess(*s.Options.ExitCode);
    return s;
}

void SignalReady(const TStandinOptions& o) {
    if (o.ReadyEvent.empty())
        return;
    HANDLE e = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, o.ReadyEvent.c_str());
    if (e != nullptr) {
        ::SetEvent(e);
        ::CloseHandle(e);
    }
}

// ---------------------------------------------------------------------------------------------
// Staying up

namespace {

bool gIgnoreClose = false;

LRESULT CALLBACK StayUpWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
        if (gIgnoreClose)
            return msg == WM_QUERYENDSESSION ? FALSE : 0;
        ::DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// Under Wine without a display a window cannot be made, and the attempt would give the prefix
// a desktop without display for every later program (the wizard's window tests among them).
bool CanMakeWindows() {
    const bool wine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (!wine)
        return true;
    wchar_t buf[256];
    return ::GetEnvironmentVariableW(L"DISPLAY", buf, 256) > 0 ||
           ::GetEnvironmentVariableW(L"WAYLAND_DISPLAY", buf, 256) > 0;
}

} // namespace

int StayUp(const TStandinOptions& o, const std::wstring& windowTitle) {
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (!o.LockPath.empty()) {
        lock = ::CreateFileW(o.LockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (lock == INVALID_HANDLE_VALUE) {
            PrintErr(L"cannot lock " + o.LockPath);
            return 2;
        }
    }
    gIgnoreClose = o.IgnoreClose;
    if (!CanMakeWindows()) {
        // No window, no message queue: under Wine even those would summon a desktop.
        SignalReady(o);
        ::Sleep(o.LifeMs);
        if (lock != INVALID_HANDLE_VALUE)
            ::CloseHandle(lock);
        return 0;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = StayUpWndProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"CorvaneStandinWindow";
    ::RegisterClassW(&wc);
    // A hidden top-level window: the target of taskkill without /F and of WM_CLOSE.
    HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, windowTitle.c_str(), WS_OVERLAPPEDWINDOW, 0,
                                  0, 320, 120, nullptr, nullptr, wc.hInstance, nullptr);
    SignalReady(o);
    const ULONGLONG start = ::GetTickCount64();
    int code = 0;
    for (;;) {
        DWORD wait = INFINITE;
        if (o.LifeMs != INFINITE) {
            const ULONGLONG spent = ::GetTickCount64() - start;
            if (spent >= o.LifeMs)
                break;
            wait = static_cast<DWORD>(o.LifeMs - spent);
        }
        const DWORD r = ::MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
        if (r == WAIT_TIMEOUT)
            break;
        MSG msg;
        bool quit = false;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                code = static_cast<int>(msg.wParam);
                break;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (quit)
            break;
    }
    if (hwnd != nullptr && ::IsWindow(hwnd))
        ::DestroyWindow(hwnd);
    if (lock != INVALID_HANDLE_VALUE)
        ::CloseHandle(lock);
    return code;
}

// ---------------------------------------------------------------------------------------------
// Services

namespace {

struct TServiceState {
    std::wstring Name;
    TStandinOptions Options;
    TServiceBody Body;
    SERVICE_STATUS_HANDLE Status = nullptr;
    HANDLE StopEvent = nullptr;
    DWORD CheckPoint = 0;
};
TServiceState gService;

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD specific = 0, DWORD waitHint = 0) {
    SERVICE_STATUS st{};
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    st.dwWin32ExitCode = exitCode;
    st.dwServiceSpecificExitCode = specific;
    st.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++gService.CheckPoint;
    st.dwWaitHint = waitHint;
    ::SetServiceStatus(gService.Status, &st);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        if (gService.Options.IgnoreStop)
            return NO_ERROR;
        Report(SERVICE_STOP_PENDING, NO_ERROR, 0, gService.Options.StopDelayMs + 3000);
        ::SetEvent(gService.StopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    gService.Status =
        ::RegisterServiceCtrlHandlerExW(gService.Name.c_str(), ServiceControl, nullptr);
    if (gService.Status == nullptr)
        return;
    gService.StopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_START_PENDING, NO_ERROR, 0, 5000);
    const DWORD err = gService.Body.Start ? gService.Body.Start() : NO_ERROR;
    if (err != NO_ERROR) {
        Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, err);
        return;
    }
    Report(SERVICE_RUNNING);
    SignalReady(gService.Options);
    ::WaitForSingleObject(gService.StopEvent, gService.Options.LifeMs);
    if (gService.Options.StopDelayMs > 0)
        ::Sleep(gService.Options.StopDelayMs);
    if (gService.Body.Stop)
        gService.Body.Stop();
    Report(SERVICE_STOPPED);
}

} // namespace

bool RunAsService(const std::wstring& serviceName, const TStandinOptions& o, TServiceBody body) {
    gService.Name = serviceName;
    gService.Options = o;
    gService.Body = std::move(body);
    SERVICE_TABLE_ENTRYW table[] = {{gService.Name.data(), ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

DWORD InstallService(const std::wstring& name, const std::wstring& imagePath) {
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (scm == nullptr)
        return ::GetLastError();
    SC_HANDLE svc =
        ::CreateServiceW(scm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                         imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    const DWORD err = svc == nullptr ? ::GetLastError() : NO_ERROR;
    if (svc != nullptr)
        ::CloseServiceHandle(svc);
    ::CloseServiceHandle(scm);
    return err;
}

DWORD UninstallService(const std::wstring& name) {
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr)
        return ::GetLastError();
    SC_HANDLE svc = ::OpenServiceW(scm, name.c_str(), DELETE);
    DWORD err = svc == nullptr ? ::GetLastError() : NO_ERROR;
    if (svc != nullptr) {
        if (!::DeleteService(svc))
            err = ::GetLastError();
        ::CloseServiceHandle(svc);
    }
    ::CloseServiceHandle(scm);
    return err;
}

// ---------------------------------------------------------------------------------------------
// Text and files

std::wstring QuoteArg(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    for (wchar_t c : arg) {
        if (c == L'"')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

std::string ToUtf8(const std::wstring& w) {
    if (w.empty())
        return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr,
                                        0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                          nullptr);
    return s;
}

std::wstring FromUtf8(const std::string& s) {
    if (s.empty())
        return std::wstring();
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

bool ReadFileBytes(const std::wstring& path, std::string& out) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    out.clear();
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0)
        out.append(buf, got);
    ::CloseHandle(h);
    return true;
}

static bool WriteWith(const std::wstring& path, const std::string& data, DWORD disposition,
                      bool append) {
    HANDLE h = ::CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                             FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    // The journal is shared by several programs at once: wait briefly for a writer to finish.
    for (int i = 0; h == INVALID_HANDLE_VALUE && append && i < 50; ++i) {
        ::Sleep(20);
        h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, disposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD put = 0;
    const bool ok = data.empty() ||
                    (::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr) &&
                     put == data.size());
    ::CloseHandle(h);
    return ok;
}

bool WriteFileBytes(const std::wstring& path, const std::string& data) {
    return WriteWith(path, data, CREATE_ALWAYS, false);
}

bool AppendFileBytes(const std::wstring& path, const std::string& data) {
    return WriteWith(path, data, OPEN_ALWAYS, true);
}

bool DirExists(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring FileDir(const std::wstring& path) {
    const size_t i = path.find_last_of(L"\\/");
    if (i == std::wstring::npos)
        return std::wstring();
    if (i == 2 && path[1] == L':')
        return path.substr(0, 3);
    return path.substr(0, i);
}

void ForceDirs(const std::wstring& path) {
    if (path.empty() || DirExists(path))
        return;
    const std::wstring parent = FileDir(path);
    if (!parent.empty() && parent != path)
        ForceDirs(parent);
    ::CreateDirectoryW(path.c_str(), nullptr);
}

void PrintErr(const std::wstring& text) {
    const std::string s = ToUtf8(text + L"\n");
    DWORD put = 0;
    HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
    if (h != nullptr && h != INVALID_HANDLE_VALUE)
        ::WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &put, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Protocol

bool SendAll(uintptr_t sock, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = ::send(static_cast<SOCKET>(sock), data.data() + sent,
                             static_cast<int>(data.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool RecvLine(uintptr_t sock, std::string& line) {
    line.clear();
    for (;;) {
        char c = 0;
        const int n = ::recv(static_cast<SOCKET>(sock), &c, 1, 0);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        if (line.size() > 4096)
            return false;
        line += c;
    }
}

bool RecvBytes(uintptr_t sock, size_t count, std::string& out) {
    out.clear();
    char buf[4096];
    while (out.size() < count) {
        const size_t want = count - out.size() < sizeof(buf) ? count - out.size() : sizeof(buf);
        const int n = ::recv(static_cast<SOCKET>(sock), buf, static_cast<int>(want), 0);
        if (n <= 0)
            return false;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitStatements(const std::string& sql) {
    std::vector<std::string> out;
    std::string cur;
    char quote = 0;
    for (size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote != 0) {
            cur += c;
            if (c == '\\' && i + 1 < sql.size())
                cur += sql[++i];
            else if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"' || c == '`')
            quote = c;
        if (c == ';') {
            if (!Trim(cur).empty())
                out.push_back(Trim(cur));
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (!Trim(cur).empty())
        out.push_back(Trim(cur));
    return out;
}
