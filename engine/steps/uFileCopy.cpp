// Copying the application's files: new installation, full update and the till-program-only
// file update.
#include <windows.h>

#include "uFileUtil.h"
#include "uSetupEngine.h"

namespace {

// Case-insensitive for the ASCII letters, as the names come from the payload as typed.
bool SameName(const std::wstring& a, const wchar_t* b) {
    const std::wstring other = b;
    if (a.size() != other.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = other[i];
        if (x >= L'A' && x <= L'Z')
            x += L'a' - L'A';
        if (y >= L'A' && y <= L'Z')
            y += L'a' - L'A';
        if (x != y)
            return false;
    }
    return true;
}

// Programs and libraries: without them the installation does not start, so their failure is
// fatal, where any other file is only reported.
bool IsCriticalFile(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos)
        return false;
    const std::wstring ext = name.substr(dot);
    return SameName(ext, L".exe") || SameName(ext, L".dll");
}

struct TEntry {
    std::wstring Name;
    bool IsFolder;
};

// The top level of a folder, in listing order, without "." and "..".
std::vector<TEntry> ListTopLevel(const std::wstring& dir) {
    std::vector<TEntry> entries;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return entries;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back({name, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return entries;
}

// Size as a directory search reports it; a file the search does not find counts as 0.
int64_t ListedFileSize(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(path.c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(find);
    return (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
}

} // namespace

void TSetupEngine::CopyFiles() {
    Log(L"[2/14] Dosyalar kopyalanıyor...");
    Log(L"  Kaynak: " + FSourceDir);
    ForceDirectories(FInstallDir);
    const std::wstring sourcePrefix = FSourceDir + L"\\";

    // A top-level file is copied once; programs and libraries that fail stop the step.
    auto copyTopLevelFile = [&](const std::wstring& name) {
        try {
            CopyOneFile(sourcePrefix + name, FInstallDir + L"\\" + name);
        } catch (const ESetupError& e) {
            if (IsCriticalFile(name))
                throw ESetupError(L"Kritik dosya kopyalanamadı: " + name + L" - " + e.Message());
            Log(L"  ! " + name + L": " + e.Message());
        }
    };

    if (FIsUpdate && FIsFullUpdate) {
        Log(L"  [TAM GÜNCELLEME] Dosyalar kopyalanıyor...");
        Log(L"  Korunan: Data, mariadb, config dosyalari");
        for (const TEntry& entry : ListTopLevel(FSourceDir)) {
            if (SameName(entry.Name, L"Data") || SameName(entry.Name, L"mariadb") ||
                SameName(entry.Name, L"pos-config.json"))
                continue;
            if (entry.IsFolder) {
                Log(L"  [klasor] " + entry.Name);
                CopyDirWithRetry(sourcePrefix + entry.Name, FInstallDir + L"\\" + entry.Name, 5);
            } else {
                copyTopLevelFile(entry.Name);
            }
        }
        Log(L"  OK");
        return;
    }

    if (FIsUpdate) {
        Log(L"  [DOSYA GÜNCELLEME] CorvaneZideroZUR.exe kopyalanıyor...");
        const std::wstring source = sourcePrefix + L"CorvaneZideroZUR.exe";
        const std::wstring target = FInstallDir + L"\\CorvaneZideroZUR.exe";
        if (!FileExists(source))
            throw ESetupError(L"Kaynak CorvaneZideroZUR.exe bulunamadı: " + source);
        bool copied = false;
        for (int attempt = 1; attempt <= 5 && !copied; ++attempt) {
            try {
                CopyOneFile(source, target);
                Log(L"  CorvaneZideroZUR.exe kopyalandı");
                copied = true;
            } catch (const ESetupError& e) {
                if (attempt == 5)
                    throw ESetupError(L"CorvaneZideroZUR.exe kopyalanamadı (5 deneme): " +
                                      e.Message());
                Log(L"  ! EXE kilitli, tekrar deneniyor (" + std::to_wstring(attempt) + L"/5)...");
                Sleep(attempt * 2000);
            }
        }
        if (!copied || !FileExists(target))
            throw ESetupError(L"CorvaneZideroZUR.exe kopyalama başarısız!");
        const int64_t targetSize = ListedFileSize(target);
        if (ListedFileSize(source) != targetSize)
            throw ESetupError(L"EXE boyut uyuşmazlığı!");
        Log(L"  EXE doğrulandı (" + std::to_wstring(targetSize / 1024) + L" KB)");
        Log(L"  OK");
        return;
    }

    for (const TEntry& entry : ListTopLevel(FSourceDir)) {
        if (SameName(entry.Name, L"Data"))
            continue;
        if (SameName(entry.Name, L"mariadb")) {
            if (!entry.IsFolder)
                continue;
            // A running database keeps the programs it was started from.
            if (RunCmd(L"sc query CorvaneDB", 5000) == 0) {
                Log(L"  [klasor] mariadb -> atlandı (CorvaneDB çalışıyor)");
            } else {
                Log(L"  [klasor] mariadb -> " + MariaDir());
                ForceDirectories(OrtakDataDir());
                CopyDirRecursive(sourcePrefix + entry.Name, MariaDir());
            }
            continue;
        }
        if (entry.IsFolder) {
            Log(L"  [klasor] " + entry.Name);
            CopyDirRecursive(sourcePrefix + entry.Name, FInstallDir + L"\\" + entry.Name);
        } else {
            copyTopLevelFile(entry.Name);
        }
    }
    Log(L"  OK");
}
