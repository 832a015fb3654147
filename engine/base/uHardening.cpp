// DLL search order, System32 tools and private folders (uHardening.h).
#include "uHardening.h"
#include "uWin32Seam.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

// SYSTEM and Administrators, full control, for the object and everything created below it;
// "P" keeps the entries of the parent folder out. 0x1200a9: read and execute.
const wchar_t* const PRIVATE_FOLDER_SDDL = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t* const PROTECTED_FOLDER_SDDL =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

namespace {

std::wstring SystemText(DWORD err) {
    wchar_t* buf = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::wstring text = n && buf ? std::wstring(buf, n) : L"System error " + std::to_wstring(err);
    if (buf)
        ::LocalFree(buf);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

// The folder itself, never what a link at its name points to: by name (Wine reports its links
// only there) and through a handle opened on the entry itself (the answer Windows gives).
bool IsPlainFolder(const std::wstring& path) {
    const DWORD attr = ::GetFileAttributesW(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY) ||
        (attr & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    HANDLE h = ::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info) &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ::CloseHandle(h);
    return ok;
}

} // namespace

void HardenDllSearchOrder() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Also takes the current folder out of the search of LoadLibrary calls made with explicit
    // flags of their own.
    ::SetDllDirectoryW(L"");
}

std::wstring ProgramPath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::wstring();
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768)
            return std::wstring();
        buf.resize(buf.size() * 2);
    }
}

std::wstring System32Path(const std::wstring& program) {
    wchar_t dir[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(dir, MAX_PATH + 1);
    std::wstring path(dir, n <= MAX_PATH ? n : 0);
    if (path.empty())
        path = L"C:\\Windows\\System32";
    if (path.back() != L'\\')
        path += L'\\';
    return path + program;
}

TPrivateSecurity::TPrivateSecurity(const wchar_t* sddl) {
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &FDescriptor,
                                                                nullptr))
        FDescriptor = nullptr;
    FAttributes.nLength = sizeof(FAttributes);
    FAttributes.lpSecurityDescriptor = FDescriptor;
    FAttributes.bInheritHandle = FALSE;
}

TPrivateSecurity::~TPrivateSecurity() {
    if (FDescriptor)
        ::LocalFree(FDescriptor);
}

bool CreatePrivateDir(const std::wstring& basePath, std::wstring& path, std::wstring& error) {
    TPrivateSecurity security;
    if (!security.Get()) {
        error = L"Geçici klasörün izinleri hazırlanamadı: " + SystemText(::GetLastError());
        return false;
    }
    for (int i = 1; i <= 1000; ++i) {
        const std::wstring name = i == 1 ? basePath : basePath + L"_" + std::to_wstring(i);
        if (!vpfnCreateDirectoryW(name.c_str(), security.Get())) {
            const DWORD err = ::GetLastError();
            // Whatever holds the name (an old folder, a planted junction) is left alone.
            if (err == ERROR_ALREADY_EXISTS)
                continue;
            error = L"Geçici klasör oluşturulamadı: " + name + L": " + SystemText(err);
            return false;
        }
        if (!IsPlainFolder(name)) {
            error = L"Geçici klasör bir bağlantı çıktı, kullanılmadı: " + name;
            return false;
        }
        path = name;
        return true;
    }
    error = L"Geçici klasör için boş bir ad bulunamadı: " + basePath;
    return false;
}

bool CreatePrivateTempDir(const std::wstring& prefix, std::wstring& path, std::wstring& error) {
    const std::wstring temp = ProtectedTempParent(error);
    if (temp.empty())
        return false;
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    wchar_t stamp[32];
    std::swprintf(stamp, 32, L"%04u%02u%02u%02u%02u%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return CreatePrivateDir(temp + prefix + stamp, path, error);
}

HANDLE CreatePrivateFile(const std::wstring& path) {
    TPrivateSecurity security;
    if (!security.Get())
        return INVALID_HANDLE_VALUE;
    // Deleting a link removes the link itself, not what it points to.
    ::DeleteFileW(path.c_str());
    return vpfnCreateFileW(path.c_str(), GENERIC_WRITE, 0, security.Get(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
}

namespace {

class TLocalMemory {
public:
    ~TLocalMemory() {
        if (P)
            ::LocalFree(P);
    }
    HLOCAL P = nullptr;
};

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !::ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring s = text;
    ::LocalFree(text);
    return s;
}

// The owner of the system folder: TrustedInstaller on Windows; whoever that is holds the
// machine already.
bool OwnsSystemFolder(PSID owner) {
    wchar_t dir[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(dir, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH)
        return false;
    PSID systemOwner = nullptr;
    TLocalMemory sd;
    if (::GetNamedSecurityInfoW(dir, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &systemOwner,
                                nullptr, nullptr, nullptr, &sd.P) != ERROR_SUCCESS)
        return false;
    return systemOwner && ::EqualSid(owner, systemOwner);
}

std::wstring LinkRefused(const std::wstring& dir) {
    return L"Klasör bir bağlantı (junction ya da sembolik bağ), kullanılmadı: " + dir;
}

} // namespace

bool IsTrustedOwner(PSID owner) {
    if (!owner || !::IsValidSid(owner))
        return false;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) ||
        ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return true;
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                 &installer)) {
        const bool same = ::EqualSid(owner, installer);
        ::LocalFree(installer);
        if (same)
            return true;
    }
    return OwnsSystemFolder(owner);
}

DWORD ReadTrustedOwner(HANDLE object, bool& trusted, std::wstring* ownerText) {
    PSID owner = nullptr;
    TLocalMemory sd;
    trusted = false;
    const DWORD got = vpfnGetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &sd.P);
    if (got != ERROR_SUCCESS)
        return got;
    trusted = IsTrustedOwner(owner);
    if (ownerText)
        *ownerText = SidText(owner);
    return ERROR_SUCCESS;
}

bool HasTrustedOwner(HANDLE object) {
    bool trusted = false;
    return ReadTrustedOwner(object, trusted, nullptr) == ERROR_SUCCESS && trusted;
}

bool CreateDirWithSddl(const std::wstring& dir, const wchar_t* sddl) {
    TPrivateSecurity security(sddl);
    if (!security.Get())
        return false;
    return vpfnCreateDirectoryW(dir.c_str(), security.Get()) != FALSE;
}

bool EnsureProtectedDir(const std::wstring& dir, const wchar_t* sddl, std::wstring& error) {
    TPrivateSecurity security(sddl);
    if (!security.Get()) {
        error = L"Klasör izinleri hazırlanamadı: " + dir + L": " + SystemText(::GetLastError());
        return false;
    }
    if (vpfnCreateDirectoryW(dir.c_str(), security.Get())) {
        if (!IsPlainFolder(dir)) {
            error = LinkRefused(dir);
            return false;
        }
        return true;
    }
    const DWORD made = ::GetLastError();
    if (made != ERROR_ALREADY_EXISTS) {
        error = L"Klasör oluşturulamadı: " + dir + L": " + SystemText(made);
        return false;
    }
    // Something is at the name already: a folder we may take over, or a plant.
    const DWORD attr = ::GetFileAttributesW(dir.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = LinkRefused(dir);
        return false;
    }
    // Held without delete sharing from the check to the change: nobody moves it aside between.
    HANDLE h = ::CreateFileW(dir.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = L"Klasör açılamadı: " + dir + L": " + SystemText(::GetLastError());
        return false;
    }
    struct TClose {
        HANDLE H;
        ~TClose() { ::CloseHandle(H); }
    } closer{h};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) {
        error = L"Klasör açılamadı: " + dir + L": " + SystemText(::GetLastError());
        return false;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = LinkRefused(dir);
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = L"Bu adda bir dosya var, klasör kullanılamadı: " + dir;
        return false;
    }
    bool trusted = false;
    std::wstring ownerText;
    const DWORD got = ReadTrustedOwner(h, trusted, &ownerText);
    if (got != ERROR_SUCCESS) {
        error = L"Klasörün sahibi okunamadı: " + dir + L": " + SystemText(got);
        return false;
    }
    if (!trusted) {
        error = L"Klasörün sahibi SYSTEM, Administrators ya da TrustedInstaller değil (" +
                ownerText + L"), kullanılmadı: " + dir;
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(security.Descriptor(), &present, &dacl, &defaulted);
    const DWORD set = vpfnSetSecurityInfo(
        h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
        nullptr, dacl, nullptr);
    if (set != ERROR_SUCCESS) {
        error = L"Klasörün izinleri ayarlanamadı: " + dir + L": " + SystemText(set);
        return false;
    }
    return true;
}

bool AllowUsersToWrite(const std::wstring& file, std::wstring& error) {
    // 0x12019f: read and write, no delete; the rest comes from the folder.
    TPrivateSecurity security(L"D:(A;;0x12019f;;;BU)");
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!security.Get() ||
        !::GetSecurityDescriptorDacl(security.Descriptor(), &present, &dacl, &defaulted)) {
        error = SystemText(::GetLastError());
        return false;
    }
    const DWORD set =
        vpfnSetNamedSecurityInfoW(const_cast<wchar_t*>(file.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr);
    if (set != ERROR_SUCCESS) {
        error = SystemText(set);
        return false;
    }
    return true;
}

std::wstring ProtectedTempParent(std::wstring& error) {
    wchar_t buf[MAX_PATH + 1] = {};
    DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH) {
        std::wstring dir(buf, n);
        while (!dir.empty() && dir.back() == L'\\')
            dir.pop_back();
        dir += L"\\CorvaneMarket";
        std::wstring why;
        if (EnsureProtectedDir(dir, PROTECTED_FOLDER_SDDL, why))
            return dir + L"\\";
        error = why;
    }
    // The system's own: users may add to it but not list, rename or delete what others made.
    n = ::GetWindowsDirectoryW(buf, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH) {
        std::wstring dir(buf, n);
        if (dir.back() != L'\\')
            dir += L'\\';
        dir += L"Temp";
        if (IsPlainFolder(dir))
            return dir + L"\\";
    }
    if (error.empty())
        error = L"Geçici klasör için korumalı bir yer bulunamadı";
    return std::wstring();
}

TRunLock::TRunLock(const wchar_t* name) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, FALSE};
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)",
                                                               SDDL_REVISION_1, &sd, nullptr))
        sa.lpSecurityDescriptor = sd;
    FHandle = ::CreateMutexW(sa.lpSecurityDescriptor ? &sa : nullptr, FALSE, name);
    const DWORD error = ::GetLastError();
    if (sd)
        ::LocalFree(sd);
    FOther = !FHandle || error == ERROR_ALREADY_EXISTS;
}

TRunLock::~TRunLock() {
    if (FHandle)
        ::CloseHandle(FHandle);
}
