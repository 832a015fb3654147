#include <winsock2.h>

#include "HostTestSupport.h"

#include <tlhelp32.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "uSetupEngine.h"

namespace {
std::atomic<int> gCounter{0};

std::wstring UniqueName(const wchar_t* what) {
    return std::wstring(what) + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++gCounter) + L"-" + std::to_wstring(::GetTickCount64());
}
} // namespace

TTempDir::TTempDir() {
    wchar_t tmp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tmp);
    FPath = std::wstring(tmp) + UniqueName(L"corvane-host-");
    ::CreateDirectoryW(FPath.c_str(), nullptr);
}

TTempDir::~TTempDir() {
    TSetupEngine::DeleteDirRecursive(FPath);
}

std::wstring StandinsDir() {
    wchar_t env[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"CORVANE_STANDINS_DIR", env, MAX_PATH) > 0)
        return env;
    // The test programs live in <build>/tests/<folder>/, the stand-ins in <build>/standins/.
    wchar_t self[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring p = self;
    for (int i = 0; i < 3; ++i)
        p = p.substr(0, p.find_last_of(L"\\/"));
    return p + L"\\standins";
}

std::wstring Standin(const std::wstring& exeName) {
    return StandinsDir() + L"\\" + exeName;
}

void WriteText(const std::wstring& path, const std::string& text) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot write " << std::string(path.begin(), path.end());
    DWORD put = 0;
    ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
    ::CloseHandle(h);
}

std::string ReadText(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0)
        out.append(buf, got);
    ::CloseHandle(h);
    return out;
}

bool FileExistsW(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirExistsW(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void MakeDirs(const std::wstring& path) {
    if (path.size() <= 3 || DirExistsW(path))
        return;
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    ::CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring CurrentDir() {
    wchar_t buf[MAX_PATH] = {};
    const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, buf);
    return std::wstring(buf, n);
}

DWORD TRecordingHost::WaitForProgram(HANDLE process, const std::wstring& commandLine,
                                     int timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    const DWORD r =
        ::WaitForSingleObject(process, static_cast<DWORD>(std::max(timeoutMs, ProgramWaitMs)));
    const ULONGLONG took = ::GetTickCount64() - start;
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    Programs.push_back(
        commandLine + L" | bound " + std::to_wstring(timeoutMs) + L" ms, took " +
        std::to_wstring(took) + L" ms" +
        (took > static_cast<ULONGLONG>(timeoutMs) ? L" (over its bound)" : L"") +
        (r == WAIT_OBJECT_0 ? L", exit " + std::to_wstring(code) : L", still running"));
    return r;
}

std::wstring TRecordingHost::ProgramsText() const {
    std::wstring all;
    for (const auto& p : Programs)
        all += L"  program: " + p + L"\n";
    return all;
}

::testing::AssertionResult TChild::Start(const std::wstring& exe, const std::wstring& args,
                                         const std::wstring& desktop) {
    Kill();
    const std::wstring eventName = UniqueName(L"CorvaneHostTestReady-");
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    std::wstring line = L"\"" + exe + L"\" --standin-ready=" + eventName + L" " + args;
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    std::wstring desk = desktop;
    if (!desk.empty())
        si.lpDesktop = desk.data();
    PROCESS_INFORMATION pi{};
    const std::string name(exe.begin(), exe.end());
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &si, &pi)) {
        const DWORD err = ::GetLastError();
        ::CloseHandle(ready);
        return ::testing::AssertionFailure() << name << " did not start: error " << err;
    }
    ::CloseHandle(pi.hThread);
    FProcess = pi.hProcess;
    // The first window of a fresh prefix starts its desktop, which can take long on a loaded
    // machine: the deadline is for a program that never comes up, not for a slow one.
    const DWORD limitMs = 120000;
    HANDLE both[] = {ready, FProcess};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, limitMs);
    ::CloseHandle(ready);
    if (r == WAIT_OBJECT_0)
        return ::testing::AssertionSuccess();
    DWORD code = 0;
    ::GetExitCodeProcess(FProcess, &code);
    if (r == WAIT_OBJECT_0 + 1)
        return ::testing::AssertionFailure() << name << " ended before it was up: exit " << code;
    return ::testing::AssertionFailure() << name << " not up after " << limitMs / 1000 << " s";
}

void TChild::Kill() {
    if (FProcess == nullptr)
        return;
    ::TerminateProcess(FProcess, 1);
    ::WaitForSingleObject(FProcess, 5000);
    ::CloseHandle(FProcess);
    FProcess = nullptr;
}

bool TChild::Running() const {
    return FProcess != nullptr && ::WaitForSingleObject(FProcess, 0) == WAIT_TIMEOUT;
}

void KillAllNamed(const std::wstring& exeName) {
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    for (BOOL ok = ::Process32FirstW(snap, &e); ok; ok = ::Process32NextW(snap, &e)) {
        if (_wcsicmp(e.szExeFile, exeName.c_str()) != 0)
            continue;
        HANDLE p = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.th32ProcessID);
        if (p != nullptr) {
            ::TerminateProcess(p, 1);
            ::WaitForSingleObject(p, 5000);
            ::CloseHandle(p);
        }
    }
    ::CloseHandle(snap);
}

int RunAndWait(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs) {
    std::wstring line = L"\"" + exe + L"\" " + args;
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &si, &pi))
        return -1;
    ::WaitForSingleObject(pi.hProcess, timeoutMs);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

namespace {
struct TSc {
    SC_HANDLE H;
    explicit TSc(SC_HANDLE h) : H(h) {}
    ~TSc() {
        if (H != nullptr)
            ::CloseServiceHandle(H);
    }
};
} // namespace

bool ServiceExists(const std::wstring& name) {
    TSc scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    TSc svc(scm.H ? ::OpenServiceW(scm.H, name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    return svc.H != nullptr;
}

DWORD ServiceState(const std::wstring& name) {
    TSc scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    TSc svc(scm.H ? ::OpenServiceW(scm.H, name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS st{};
    if (svc.H == nullptr || !::QueryServiceStatus(svc.H, &st))
        return 0;
    return st.dwCurrentState;
}

::testing::AssertionResult ServiceReaches(const std::wstring& name, DWORD state, DWORD timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        const DWORD seen = ServiceExists(name) ? ServiceState(name) : 0;
        if (seen == state)
            return ::testing::AssertionSuccess();
        if (::GetTickCount64() - start >= timeoutMs)
            return ::testing::AssertionFailure()
                   << "service " << std::string(name.begin(), name.end()) << " still in state "
                   << seen << " (wanted " << state << ") after " << timeoutMs << " ms";
        ::Sleep(100);
    }
}

bool StartServiceAndWait(const std::wstring& name, DWORD timeoutMs) {
    {
        TSc scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        TSc svc(scm.H ? ::OpenServiceW(scm.H, name.c_str(), SERVICE_START) : nullptr);
        if (svc.H == nullptr || !::StartServiceW(svc.H, 0, nullptr))
            return false;
    }
    const ULONGLONG start = ::GetTickCount64();
    while (::GetTickCount64() - start < timeoutMs) {
        const DWORD s = ServiceState(name);
        if (s == SERVICE_RUNNING)
            return true;
        if (s == SERVICE_STOPPED)
            return false;
        ::Sleep(50);
    }
    return false;
}

std::wstring ServiceImagePath(const std::wstring& name) {
    TSc scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    TSc svc(scm.H ? ::OpenServiceW(scm.H, name.c_str(), SERVICE_QUERY_CONFIG) : nullptr);
    if (svc.H == nullptr)
        return std::wstring();
    DWORD need = 0;
    ::QueryServiceConfigW(svc.H, nullptr, 0, &need);
    std::vector<BYTE> buf(need + 16);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (!::QueryServiceConfigW(svc.H, cfg, static_cast<DWORD>(buf.size()), &need))
        return std::wstring();
    return cfg->lpBinaryPathName ? cfg->lpBinaryPathName : L"";
}

void RemoveServiceHard(const std::wstring& name) {
    {
        TSc scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        TSc svc(scm.H ? ::OpenServiceW(scm.H, name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
        if (svc.H == nullptr)
            return;
        SERVICE_STATUS st{};
        ::ControlService(svc.H, SERVICE_CONTROL_STOP, &st);
        for (int i = 0; i < 20 && ServiceState(name) != SERVICE_STOPPED; ++i)
            ::Sleep(50);
        if (ServiceState(name) != SERVICE_STOPPED) {
            SERVICE_STATUS_PROCESS sp{};
            DWORD need = 0;
            if (::QueryServiceStatusEx(svc.H, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                                       sizeof(sp), &need) &&
                sp.dwProcessId != 0) {
                HANDLE p = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, sp.dwProcessId);
                if (p != nullptr) {
                    ::TerminateProcess(p, 1);
                    ::WaitForSingleObject(p, 5000);
                    ::CloseHandle(p);
                }
            }
            // Wine's service manager may keep reporting a killed service as running; the
            // deletion below goes through all the same.
        }
        ::DeleteService(svc.H);
    }
    // The entry goes once the last handle to it is closed, which a loaded machine can delay.
    EXPECT_TRUE(ServiceReaches(name, 0)) << "after its deletion";
}

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    // A junction, as on Windows.
    if (::CreateDirectoryW(link.c_str(), nullptr)) {
        HANDLE h =
            ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        bool ok = false;
        if (h != INVALID_HANDLE_VALUE) {
            const std::wstring sub = L"\\??\\" + target;
            std::vector<BYTE> buf(16 + (sub.size() + 2) * sizeof(wchar_t), 0);
            auto put16 = [&](size_t at, USHORT v) { memcpy(buf.data() + at, &v, 2); };
            const ULONG tag = IO_REPARSE_TAG_MOUNT_POINT;
            memcpy(buf.data(), &tag, 4);
            const USHORT subLen = static_cast<USHORT>(sub.size() * sizeof(wchar_t));
            put16(4, static_cast<USHORT>(8 + subLen + 4));
            put16(8, 0);
            put16(10, subLen);
            put16(12, static_cast<USHORT>(subLen + 2));
            put16(14, 0);
            memcpy(buf.data() + 16, sub.data(), subLen);
            DWORD ret = 0;
            ok = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf.data(), 8 + 8 + subLen + 4,
                                   nullptr, 0, &ret, nullptr) != FALSE;
            ::CloseHandle(h);
        }
        if (ok)
            return true;
        ::RemoveDirectoryW(link.c_str());
    }
    // Wine makes no junctions; a symbolic link made by the host system is what it shows as a
    // folder link.
    using TUnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<TUnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr)
        return false;
    char* l = unixName(link.c_str());
    char* t = unixName(target.c_str());
    if (l == nullptr || t == nullptr)
        return false;
    std::string line = std::string("Z:\\bin\\ln -s \"") + t + "\" \"" + l + "\"";
    ::HeapFree(::GetProcessHeap(), 0, l);
    ::HeapFree(::GetProcessHeap(), 0, t);
    std::wstring wline(line.begin(), line.end());
    std::vector<wchar_t> cmd(wline.begin(), wline.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi))
        return false;
    ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    // The handle of a host program may be signalled before it has done its work.
    for (int i = 0; i < 100; ++i) {
        const DWORD a = ::GetFileAttributesW(link.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return true;
        ::Sleep(20);
    }
    fprintf(stderr, "link not made: %s\n", line.c_str());
    return false;
}

namespace {
// The process id that the database stand-in on the port gives for "WHO" (0: no answer).
DWORD ServerProcessOn(int port) {
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const DWORD timeout = 10000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(s, "WHO\n", 4, 0) == 4) {
        char buf[64];
        int n;
        while ((n = ::recv(s, buf, sizeof buf, 0)) > 0 && reply.size() < 64)
            reply.append(buf, static_cast<size_t>(n));
    }
    ::closesocket(s);
    ::WSACleanup();
    return reply.rfind("PID ", 0) == 0 ? std::strtoul(reply.c_str() + 4, nullptr, 10) : 0;
}
} // namespace

::testing::AssertionResult ServiceListens(const std::wstring& name, int port, DWORD timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        DWORD service = 0;
        {
            TSc scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            TSc svc(scm.H ? ::OpenServiceW(scm.H, name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
            SERVICE_STATUS_PROCESS sp{};
            DWORD need = 0;
            if (svc.H != nullptr &&
                ::QueryServiceStatusEx(svc.H, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                                       sizeof(sp), &need))
                service = sp.dwProcessId;
        }
        const DWORD listener = ServerProcessOn(port);
        if (service != 0 && listener == service)
            return ::testing::AssertionSuccess();
        if (::GetTickCount64() - start >= timeoutMs)
            return ::testing::AssertionFailure()
                   << "port " << port << ": served by process " << listener << ", service "
                   << Narrow(name) << " process " << service << " after " << timeoutMs << " ms";
        ::Sleep(200);
    }
}

int FreeLoopbackPort() {
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::closesocket(s);
    ::WSACleanup();
    EXPECT_NE(port, 0) << "no free port";
    return port;
}

std::string Narrow(const std::wstring& s) {
    std::string out(s.size() * 3, '\0');
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                                        out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

int CountLinesStarting(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    int n = 0;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

namespace {

bool IsSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buf[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buf);
    return ::CreateWellKnownSid(type, nullptr, buf, &size) && ::EqualSid(sid, buf);
}

} // namespace

::testing::AssertionResult OnlySystemAndAdministrators(const std::vector<BYTE>& sd) {
    if (sd.empty())
        return ::testing::AssertionFailure() << "no security descriptor";
    PSECURITY_DESCRIPTOR d = const_cast<BYTE*>(sd.data());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(d, &control, &revision) || !(control & SE_DACL_PROTECTED))
        return ::testing::AssertionFailure() << "DACL not protected: the parent's entries come in";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(d, &present, &dacl, &defaulted) || !present || !dacl)
        return ::testing::AssertionFailure() << "no DACL";
    int system = 0, admins = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || ace->Mask != FILE_ALL_ACCESS ||
            (ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) !=
                (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))
            return ::testing::AssertionFailure()
                   << "entry " << i << " is not full, inherited access";
        PSID sid = &ace->SidStart;
        system += IsSid(sid, WinLocalSystemSid);
        admins += IsSid(sid, WinBuiltinAdministratorsSid);
    }
    if (dacl->AceCount != 2 || system != 1 || admins != 1)
        return ::testing::AssertionFailure()
               << dacl->AceCount << " entries, SYSTEM " << system << ", Administrators " << admins;
    return ::testing::AssertionSuccess();
}

std::vector<BYTE> DescriptorBytes(const SECURITY_ATTRIBUTES* sa) {
    if (!sa || !sa->lpSecurityDescriptor)
        return {};
    const BYTE* p = static_cast<const BYTE*>(sa->lpSecurityDescriptor);
    return std::vector<BYTE>(p, p + ::GetSecurityDescriptorLength(sa->lpSecurityDescriptor));
}
