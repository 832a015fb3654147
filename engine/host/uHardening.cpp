// DLL search order, System32 tools and private folders (uHardening.h).
#include "uHardening.h"
#include "uWin32Seam.h"

#include <sddl.h>

#include <cwchar>

namespace {

// SYSTEM and Administrators, full control, for the object and everything created below it;
// "P" keeps the entries of the parent folder (the user's TEMP) out.
const wchar_t* const PRIVATE_DACL = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

TPrivateSecurity::TPrivateSecurity() {
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(PRIVATE_DACL, SDDL_REVISION_1,
                                                                &FDescriptor, nullptr))
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
    wchar_t buf[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
    std::wstring temp(buf, n <= MAX_PATH ? n : 0);
    if (temp.empty()) {
        error = L"Geçici klasör bulunamadı: " + SystemText(::GetLastError());
        return false;
    }
    if (temp.back() != L'\\')
        temp += L'\\';
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
