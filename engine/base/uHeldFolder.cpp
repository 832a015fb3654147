// Folders worked on through held handles (uHeldFolder.h). Opening relative to a handle needs
// NtCreateFile; it is looked up at run time so that the programs keep importing only the
// documented system DLLs.
#include "uHeldFolder.h"

#include <sddl.h>
#include <winternl.h>

#include "uHardening.h"
#include "uWin32Seam.h"

namespace {

using TNtCreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                       PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using TRtlNtStatusToDosError = ULONG(NTAPI*)(NTSTATUS);

template <typename T> T NtdllCall(const char* name) {
    return reinterpret_cast<T>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder we work inside may not be renamed meanwhile: no FILE_SHARE_DELETE.
constexpr ULONG kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kOpenOptions =
    FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | DELETE | READ_CONTROL | WRITE_DAC |
                                      FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// NtCreateFile of name inside folder; the Win32 error code, ERROR_SUCCESS when opened.
DWORD NtOpen(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
             ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR sd, TWinHandle& out,
             ULONG_PTR* information = nullptr) {
    static const auto create = NtdllCall<TNtCreateFile>("NtCreateFile");
    static const auto toDos = NtdllCall<TRtlNtStatusToDosError>("RtlNtStatusToDosError");
    if (!create || !toDos)
        return ERROR_CALL_NOT_IMPLEMENTED;
    // A name is one entry: no separators, no "." or "..", nothing that leaves the folder.
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(L"\\/:") != std::wstring::npos || name.size() > 255)
        return ERROR_INVALID_NAME;
    UNICODE_STRING us;
    us.Buffer = const_cast<PWSTR>(name.c_str());
    us.Length = us.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, folder, sd);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    const NTSTATUS status = create(&h, access, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                   disposition, options, nullptr, 0);
    if (status < 0)
        return toDos(status);
    out.Reset(h);
    if (information)
        *information = io.Information;
    return ERROR_SUCCESS;
}

bool PlainFolderHandle(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool LinkAttributes(DWORD attributes, DWORD tag) {
    // Wine reports its links without a tag; other reparse points (cloud placeholders) hold
    // their own content.
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag == 0 || IsReparseTagNameSurrogate(tag));
}

} // namespace

bool HandleIsLink(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    return !::GetFileInformationByHandle(h, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

TWinHandle OpenHeldFolder(const std::wstring& path, bool checkOwner, std::wstring& why) {
    WIN32_FIND_DATAW fd{};
    const HANDLE find = ::FindFirstFileW(path.c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        ::FindClose(find);
        if (LinkAttributes(fd.dwFileAttributes, fd.dwReserved0)) {
            why = L"bir bağlantı (junction/sembolik bağlantı)";
            return TWinHandle();
        }
    }
    TWinHandle h(vpfnCreateFileW(path.c_str(), kFolderAccess, kShareHeld, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr));
    // Another process inside the folder (its working folder) refuses the right to delete:
    // what is inside can still go.
    // A folder whose permissions we may not change can still be emptied and deleted.
    if (!h && ::GetLastError() == ERROR_ACCESS_DENIED)
        h.Reset(vpfnCreateFileW(
            path.c_str(), kFolderAccess & ~WRITE_DAC, kShareHeld, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h && ::GetLastError() == ERROR_SHARING_VIOLATION)
        h.Reset(vpfnCreateFileW(
            path.c_str(), kFolderAccess & ~DELETE, kShareAll, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) {
        why = L"açılamadı (hata " + std::to_wstring(::GetLastError()) + L")";
        return TWinHandle();
    }
    if (!PlainFolderHandle(h.Get())) {
        why = L"bir bağlantı veya klasör değil";
        return TWinHandle();
    }
    if (checkOwner && !HasTrustedOwner(h.Get())) {
        why = L"sahibi SYSTEM, Administrators veya TrustedInstaller değil";
        return TWinHandle();
    }
    return h;
}

bool ListHeldFolder(HANDLE folder, std::vector<THeldEntry>& entries) {
    entries.clear();
    alignas(8) static thread_local BYTE buf[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(folder, cls, buf, sizeof buf))
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        cls = FileIdBothDirectoryInfo;
        for (BYTE* p = buf;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
            const std::wstring name(e->FileName, e->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.push_back({name, (e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                   LinkAttributes(e->FileAttributes, e->EaSize)});
            if (e->NextEntryOffset == 0)
                break;
            p += e->NextEntryOffset;
        }
    }
}

TWinHandle OpenInHeld(HANDLE folder, const std::wstring& name, bool asFolder, DWORD& error) {
    TWinHandle h;
    if (asFolder) {
        error = NtOpen(folder, name, kFolderAccess, kShareHeld, FILE_OPEN,
                       kOpenOptions | FILE_DIRECTORY_FILE, nullptr, h);
        // A folder made by someone else may refuse its permissions to be changed; it can
        // still be emptied and deleted.
        if (error == ERROR_ACCESS_DENIED)
            error = NtOpen(folder, name, kFolderAccess & ~WRITE_DAC, kShareHeld, FILE_OPEN,
                           kOpenOptions | FILE_DIRECTORY_FILE, nullptr, h);
    } else {
        error = NtOpen(folder, name,
                       DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                       kShareAll, FILE_OPEN, kOpenOptions, nullptr, h);
    }
    return h;
}

TWinHandle OpenToReadInHeld(HANDLE folder, const std::wstring& name, DWORD& error) {
    TWinHandle h;
    error = NtOpen(folder, name, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN,
                   kOpenOptions | FILE_NON_DIRECTORY_FILE, nullptr, h);
    if (error == ERROR_SUCCESS && HandleIsLink(h.Get())) {
        error = ERROR_CANT_ACCESS_FILE;
        h.Reset();
    }
    return h;
}

TWinHandle CreateInHeld(HANDLE folder, const std::wstring& name, DWORD& error) {
    TWinHandle h;
    error = NtOpen(folder, name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                   FILE_CREATE, kOpenOptions | FILE_NON_DIRECTORY_FILE, nullptr, h);
    return h;
}

TWinHandle OpenProtectedInHeld(HANDLE folder, const std::wstring& name, bool protectExisting,
                               std::wstring& why) {
    TPrivateSecurity sd(PROTECTED_FOLDER_SDDL);
    if (!sd.Get()) {
        why = L"izinler hazırlanamadı";
        return TWinHandle();
    }
    // The listing shows a link the way Wine reports it; the handle, the way Windows does.
    std::vector<THeldEntry> entries;
    if (ListHeldFolder(folder, entries))
        for (const THeldEntry& e : entries)
            if (e.IsLink &&
                ::CompareStringOrdinal(e.Name.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) {
                why = name + L" bir bağlantı";
                return TWinHandle();
            }
    TWinHandle h;
    ULONG_PTR info = 0;
    const DWORD error = NtOpen(folder, name, kFolderAccess & ~DELETE, kShareHeld, FILE_OPEN_IF,
                               kOpenOptions | FILE_DIRECTORY_FILE, sd.Descriptor(), h, &info);
    if (error != ERROR_SUCCESS) {
        why = name + L" açılamadı (hata " + std::to_wstring(error) + L")";
        return TWinHandle();
    }
    if (info == FILE_CREATED)
        return h;
    if (!PlainFolderHandle(h.Get()) || !HasTrustedOwner(h.Get())) {
        why = name + L" bir bağlantı veya sahibi yabancı";
        return TWinHandle();
    }
    // Made by an older version, it inherited ProgramData's permissions.
    if (protectExisting && !ProtectHeld(h.Get())) {
        why = name + L" izinleri ayarlanamadı";
        return TWinHandle();
    }
    return h;
}

DWORD DeleteHeld(HANDLE h) {
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)
               ? ERROR_SUCCESS
               : ::GetLastError();
}

bool ProtectHeld(HANDLE folder) {
    TPrivateSecurity sd(PROTECTED_FOLDER_SDDL);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sd.Get() || !::GetSecurityDescriptorDacl(sd.Descriptor(), &present, &dacl, &defaulted))
        return false;
    return vpfnSetSecurityInfo(folder, SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}
