#include "uFileUtil.h"

#include <windows.h>

#include "uSetupError.h"

bool FileExists(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::wstring& dir) {
    const DWORD attr = GetFileAttributesW(dir.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::wstring& dir) {
    if (dir.empty())
        return false;
    if (DirectoryExists(dir))
        return true;
    const size_t cut = dir.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 0 && dir[cut - 1] != L':' && dir[cut - 1] != L'\\')
        ForceDirectories(dir.substr(0, cut));
    return CreateDirectoryW(dir.c_str(), nullptr) || DirectoryExists(dir);
}

namespace {

class TFileHandle {
public:
    explicit TFileHandle(HANDLE h) : FHandle(h) {}
    ~TFileHandle() {
        if (FHandle != INVALID_HANDLE_VALUE)
            CloseHandle(FHandle);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    HANDLE get() const { return FHandle; }

private:
    HANDLE FHandle;
};

std::string Encode(const std::wstring& text, unsigned codePage) {
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

} // namespace

void WriteTextFile(const std::wstring& path, const std::vector<std::wstring>& lines,
                   unsigned codePage) {
    if (codePage == 0)
        codePage = GetACP();
    std::string bytes;
    if (codePage == CP_UTF8)
        bytes = "\xEF\xBB\xBF";
    for (const auto& line : lines)
        bytes += Encode(line, codePage) + "\r\n";

    // No sharing while it is written: nobody reads half a configuration.
    TFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        throw ESetupError(L"Cannot create file \"" + path + L"\". " +
                          SysErrorMessage(GetLastError()));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        // A full disk must not leave a silently truncated configuration behind.
        throw ESetupError(L"Cannot write file \"" + path + L"\". " +
                          SysErrorMessage(GetLastError()));
}
