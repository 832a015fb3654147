#include <winsock2.h>

#include "HostTestSupport.h"

#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

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
    DeleteDirRecursive(FPath);
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
