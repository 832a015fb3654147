#include <winsock2.h>

#include "MachineProbe.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "uWinHandles.h"

// --- files and snapshots -----------------------------------------------------------------------

std::string FileBytes(const std::wstring& path) {
    TWinHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h)
        return "<missing>";
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h.Get(), buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    return out;
}

void MakeDirs(const std::wstring& path) {
    if (path.size() <= 3 || DirectoryExists(path))
        return;
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    CreateDirectoryW(path.c_str(), nullptr);
}

namespace {
// Calls visit(relative path, is folder) for every entry under root, depth first.
void Walk(const std::wstring& root, const std::wstring& rel,
          const std::function<void(const std::wstring&, bool)>& visit) {
    WIN32_FIND_DATAW fd;
    TFindHandle h(
        FindFirstFileW(((rel.empty() ? root : root + L"\\" + rel) + L"\\*").c_str(), &fd));
    if (!h)
        return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring r = rel.empty() ? name : rel + L"\\" + name;
        const bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        visit(r, dir);
        if (dir)
            Walk(root, r, visit);
    } while (FindNextFileW(h.Get(), &fd));
}
} // namespace

std::vector<std::wstring> FilesUnder(const std::wstring& dir) {
    std::vector<std::wstring> out;
    Walk(dir, L"", [&](const std::wstring& rel, bool folder) {
        if (!folder)
            out.push_back(rel);
    });
    std::sort(out.begin(), out.end());
    return out;
}

TSnap Snapshot(const std::wstring& root) {
    TSnap out;
    Walk(root, L"", [&](const std::wstring& rel, bool folder) {
        out[rel] = folder ? "<dir>" : FileBytes(root + L"\\" + rel);
    });
    return out;
}

std::vector<std::wstring> Names(const TSnap& snap) {
    std::vector<std::wstring> names;
    for (const auto& [k, v] : snap)
        names.push_back(k);
    return names;
}

std::string Narrow(const std::wstring& s) {
    std::string out(s.size() * 3, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::wstring Widen(const std::string& s) {
    std::wstring out(s.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(),
                                      static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// --- processes ----------------------------------------------------------------------------------

namespace {
std::vector<DWORD> ProcessesNamed(const std::wstring& exeName) {
    std::vector<DWORD> ids;
    TWinHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap)
        return ids;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    for (BOOL ok = Process32FirstW(snap.Get(), &e); ok; ok = Process32NextW(snap.Get(), &e))
        if (_wcsicmp(e.szExeFile, exeName.c_str()) == 0)
            ids.push_back(e.th32ProcessID);
    return ids;
}

void EndProcess(DWORD id) {
    TWinHandle p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (p) {
        TerminateProcess(p.Get(), 1);
        WaitForSingleObject(p.Get(), 5000);
    }
}
} // namespace

bool ProcessRunning(const std::wstring& exeName) {
    return !ProcessesNamed(exeName).empty();
}

void KillAllNamed(const std::wstring& exeName) {
    for (DWORD id : ProcessesNamed(exeName))
        EndProcess(id);
}

// --- services -----------------------------------------------------------------------------------

namespace {
TScHandle OpenService(const std::wstring& name, DWORD access, DWORD managerAccess) {
    TScHandle scm(OpenSCManagerW(nullptr, nullptr, managerAccess));
    return TScHandle(scm ? OpenServiceW(scm.Get(), name.c_str(), access) : nullptr);
}

DWORD ServiceProcess(SC_HANDLE svc) {
    SERVICE_STATUS_PROCESS sp{};
    DWORD need = 0;
    return svc != nullptr && QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO,
                                                  reinterpret_cast<BYTE*>(&sp), sizeof(sp), &need)
               ? sp.dwProcessId
               : 0;
}
} // namespace

bool ServiceExists(const std::wstring& name) {
    return OpenService(name, SERVICE_QUERY_STATUS, SC_MANAGER_CONNECT).Valid();
}

DWORD ServiceState(const std::wstring& name) {
    TScHandle svc = OpenService(name, SERVICE_QUERY_STATUS, SC_MANAGER_CONNECT);
    SERVICE_STATUS st{};
    return svc && QueryServiceStatus(svc.Get(), &st) ? st.dwCurrentState : 0;
}

::testing::AssertionResult ServiceReaches(const std::wstring& name, DWORD state, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const DWORD seen = ServiceExists(name) ? ServiceState(name) : 0;
        if (seen == state)
            return ::testing::AssertionSuccess();
        if (GetTickCount64() - start >= timeoutMs)
            return ::testing::AssertionFailure()
                   << "service " << Narrow(name) << " still in state " << seen << " (wanted "
                   << state << ") after " << timeoutMs << " ms";
        Sleep(100);
    }
}

bool StartServiceAndWait(const std::wstring& name, DWORD timeoutMs) {
    if (TScHandle svc = OpenService(name, SERVICE_START, SC_MANAGER_CONNECT);
        !svc || !StartServiceW(svc.Get(), 0, nullptr))
        return false;
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < timeoutMs) {
        const DWORD s = ServiceState(name);
        if (s == SERVICE_RUNNING)
            return true;
        if (s == SERVICE_STOPPED)
            return false;
        Sleep(50);
    }
    return false;
}

std::wstring ServiceImagePath(const std::wstring& name) {
    TScHandle svc = OpenService(name, SERVICE_QUERY_CONFIG, SC_MANAGER_CONNECT);
    if (!svc)
        return std::wstring();
    DWORD need = 0;
    QueryServiceConfigW(svc.Get(), nullptr, 0, &need);
    std::vector<BYTE> buf(need + 16);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (!QueryServiceConfigW(svc.Get(), cfg, static_cast<DWORD>(buf.size()), &need))
        return std::wstring();
    return cfg->lpBinaryPathName ? cfg->lpBinaryPathName : L"";
}

::testing::AssertionResult RegisterService(const std::wstring& name, const std::wstring& imagePath,
                                           DWORD startType) {
    UnregisterService(name);
    TScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    TScHandle svc(scm ? CreateServiceW(scm.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                       imagePath.c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr)
                      : nullptr);
    if (svc)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "service " << Narrow(name) << " not registered: error " << GetLastError();
}

void UnregisterService(const std::wstring& name) {
    if (TScHandle svc = OpenService(name, SERVICE_ALL_ACCESS, SC_MANAGER_ALL_ACCESS))
        DeleteService(svc.Get());
}

void RemoveServiceHard(const std::wstring& name) {
    {
        TScHandle svc = OpenService(name, SERVICE_ALL_ACCESS, SC_MANAGER_ALL_ACCESS);
        if (!svc)
            return;
        SERVICE_STATUS st{};
        ControlService(svc.Get(), SERVICE_CONTROL_STOP, &st);
        for (int i = 0; i < 20 && ServiceState(name) != SERVICE_STOPPED; ++i)
            Sleep(50);
        // Wine's service manager may keep reporting a killed service as running; the deletion
        // below goes through all the same.
        if (ServiceState(name) != SERVICE_STOPPED)
            if (const DWORD id = ServiceProcess(svc.Get()))
                EndProcess(id);
        DeleteService(svc.Get());
    }
    // The entry goes once the last handle to it is closed, which a loaded machine can delay.
    EXPECT_TRUE(ServiceReaches(name, 0)) << "after its deletion";
}

// --- registry -----------------------------------------------------------------------------------

std::wstring RegText(HKEY root, const std::wstring& key, const wchar_t* value) {
    wchar_t buf[2048] = {};
    DWORD bytes = sizeof buf - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, buf, &bytes) != ERROR_SUCCESS)
        return L"<none>";
    return buf;
}

DWORD RegNumber(const std::wstring& key, const wchar_t* value) {
    DWORD v = 0, bytes = sizeof v;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &v,
                     &bytes) != ERROR_SUCCESS)
        return 0xFFFFFFFF;
    return v;
}

namespace {
TRegKeyHandle OpenKey(const std::wstring& key) {
    HKEY h = nullptr;
    return TRegKeyHandle(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS ? h
                                                                                         : nullptr);
}
} // namespace

bool KeyExists(const std::wstring& key) {
    return OpenKey(key).Valid();
}

std::map<std::wstring, TRegValue> ReadKey(const std::wstring& path) {
    std::map<std::wstring, TRegValue> values;
    TRegKeyHandle key = OpenKey(path);
    if (!key)
        return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLen = 256, type = 0;
        BYTE data[2048];
        DWORD bytes = sizeof data;
        if (RegEnumValueW(key.Get(), i, name, &nameLen, nullptr, &type, data, &bytes) !=
            ERROR_SUCCESS)
            break;
        TRegValue v;
        v.Type = type;
        if (type == REG_SZ) {
            v.Text.assign(reinterpret_cast<wchar_t*>(data), bytes / sizeof(wchar_t));
            EXPECT_FALSE(v.Text.empty()) << "terminating NUL not stored";
            if (!v.Text.empty() && v.Text.back() == L'\0')
                v.Text.pop_back();
        } else if (type == REG_DWORD) {
            v.Number = *reinterpret_cast<DWORD*>(data);
        }
        values[name] = v;
    }
    return values;
}

// --- shortcuts ----------------------------------------------------------------------------------

TLinkInfo ReadLink(const std::wstring& file) {
    TLinkInfo info;
    CoInitialize(nullptr);
    {
        TComPtr<IShellLinkW> link;
        TComPtr<IPersistFile> pf;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IShellLinkW, link.Out())) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, pf.Out())) &&
            SUCCEEDED(pf->Load(file.c_str(), STGM_READ))) {
            wchar_t buf[MAX_PATH * 2] = {};
            link->GetPath(buf, MAX_PATH, nullptr, SLGP_RAWPATH);
            info.Path = buf;
            buf[0] = 0;
            link->GetWorkingDirectory(buf, MAX_PATH);
            info.WorkDir = buf;
            buf[0] = 0;
            link->GetDescription(buf, MAX_PATH);
            info.Description = buf;
            buf[0] = 0;
            link->GetIconLocation(buf, MAX_PATH, &info.IconIndex);
            info.Icon = buf;
            info.Loaded = true;
        }
    }
    CoUninitialize();
    return info;
}

// --- the database port --------------------------------------------------------------------------

namespace {
// A socket to 127.0.0.1:port, connected or not; closes itself and the Winsock session.
class TLoopback {
public:
    explicit TLoopback(int port) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        FSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        FAddr.sin_family = AF_INET;
        FAddr.sin_port = htons(static_cast<u_short>(port));
        FAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~TLoopback() {
        closesocket(FSocket);
        WSACleanup();
    }
    TLoopback(const TLoopback&) = delete;
    TLoopback& operator=(const TLoopback&) = delete;
    bool Connect() {
        return connect(FSocket, reinterpret_cast<sockaddr*>(&FAddr), sizeof FAddr) == 0;
    }
    SOCKET FSocket;
    sockaddr_in FAddr{};
};

// The process id that the database stand-in on the port gives for "WHO" (0: no answer).
DWORD ServerProcessOn(int port) {
    TLoopback s(port);
    const DWORD timeout = 10000;
    setsockopt(s.FSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    std::string reply;
    if (s.Connect() && send(s.FSocket, "WHO\n", 4, 0) == 4) {
        char buf[64];
        int n;
        while ((n = recv(s.FSocket, buf, sizeof buf, 0)) > 0 && reply.size() < 64)
            reply.append(buf, static_cast<size_t>(n));
    }
    return reply.rfind("PID ", 0) == 0 ? std::strtoul(reply.c_str() + 4, nullptr, 10) : 0;
}
} // namespace

bool ServerAnswers(int port) {
    return TLoopback(port).Connect();
}

::testing::AssertionResult ServiceListens(const std::wstring& name, int port, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const DWORD service =
            ServiceProcess(OpenService(name, SERVICE_QUERY_STATUS, SC_MANAGER_CONNECT).Get());
        const DWORD listener = ServerProcessOn(port);
        if (service != 0 && listener == service)
            return ::testing::AssertionSuccess();
        if (GetTickCount64() - start >= timeoutMs)
            return ::testing::AssertionFailure()
                   << "port " << port << ": served by process " << listener << ", service "
                   << Narrow(name) << " process " << service << " after " << timeoutMs << " ms";
        Sleep(200);
    }
}

int FreeLoopbackPort() {
    TLoopback s(0);
    int len = sizeof s.FAddr;
    int port = 0;
    if (bind(s.FSocket, reinterpret_cast<sockaddr*>(&s.FAddr), sizeof s.FAddr) == 0 &&
        getsockname(s.FSocket, reinterpret_cast<sockaddr*>(&s.FAddr), &len) == 0)
        port = ntohs(s.FAddr.sin_port);
    EXPECT_NE(port, 0) << "no free port";
    return port;
}

// --- windows of the test itself -----------------------------------------------------------------

bool PumpUntil(const std::function<bool()>& cond, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}
