#include "uWizardRules.h"

#include "uEngineRules.h"

namespace WizardRules {

std::wstring VersionFromExeName(const std::wstring& exePath) {
    std::wstring name = EngineRules::ExtractFileName(exePath);
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    const size_t hyphen = name.find_last_of(L'-');
    if (hyphen == std::wstring::npos)
        return std::wstring();
    std::wstring version = name.substr(hyphen + 1);
    if (version.empty() || version[0] < L'0' || version[0] > L'9')
        return std::wstring();
    return version;
}

int PreselectDrive(const std::vector<TDriveItem>& drives, bool isUpdateExe) {
    int existing = -1;
    int preferred = -1;
    bool dSeen = false;
    for (size_t i = 0; i < drives.size(); ++i) {
        const int idx = static_cast<int>(i);
        const wchar_t letter = drives[i].Letter;
        if (isUpdateExe && drives[i].HasInstallDir)
            existing = idx; // a later drive replaces an earlier one
        if (letter == L'D') {
            preferred = idx;
            dSeen = true;
        } else if (letter == L'C' && !dSeen && preferred < 0) {
            preferred = idx;
        } else if (letter == L'E' && preferred < 0) {
            preferred = idx;
        }
    }
    if (existing >= 0)
        return existing;
    if (preferred >= 0)
        return preferred;
    return drives.empty() ? -1 : 0;
}

std::wstring DriveInfoText(const std::wstring& drive, std::optional<uint64_t> freeBytes) {
    if (!freeBytes)
        return L"Hedef: " + drive + L"\\CorvaneZideroZur";
    return L"Boş alan: " + std::to_wstring(*freeBytes / 1048576) + L" MB  |  Hedef: " + drive +
           L"\\CorvaneZideroZur";
}

std::wstring DbDriveInfoText(const std::wstring& drive) {
    return drive + L"\\CorvaneOrtakData\\mariadb  |  " + drive + L"\\CorvaneOrtakData\\Data";
}

std::wstring ExtractProgressText(uint64_t written, uint64_t total) {
    const uint64_t percent = total && written < total ? written * 100 / total : 100;
    return L"Dosyalar çıkarılıyor... %" + std::to_wstring(percent) + L" (" +
           std::to_wstring(written / 1048576) + L" / " + std::to_wstring(total / 1048576) + L" MB)";
}

TFinishTexts FinishTexts(const TFinishState& s) {
    if (EngineRules::SameTextAscii(s.InstallTitle, L"Geri Yukleme"))
        return {L"Geri Yükleme Tamamlandı!",
                L"Corvane Market Pos onceki sürüme başarıyla geri yüklendi.\r\n\r\n"
                L"Veritabani ve satış verileriniz korundu."};
    if (s.IsUpdateInstall && s.IsFullUpdate)
        return {std::nullopt, L"Corvane Market Pos başarıyla güncellendi!\r\n\r\n"
                              L"Tüm dosyalar güncellendi. Veritabanınız korundu."};
    if (s.IsUpdateInstall)
        return {std::nullopt, L"CorvaneZideroZUR.exe başarıyla güncellendi!"};
    if (s.DbOnly)
        return {std::nullopt, L"CorvaneDB başarıyla kuruldu!\r\n\r\nVeritabanı klasörü: " +
                                  s.OrtakDataDir +
                                  L"\r\nMariaDB Port: 3307\r\nServis Adı: CorvaneDB"};
    return {std::nullopt, L"CorvaneZideroZur başarıyla kuruldu!\r\n\r\nKurulum klasörü: " +
                              s.InstallDir + L"\r\nVeritabanı: " + s.OrtakDataDir +
                              L"\r\nMariaDB Port: 3307"};
}

std::wstring CleanInstallLocation(const std::wstring& recorded) {
    std::wstring path = recorded;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    const bool letter = path.size() >= 2 && ((path[0] >= L'A' && path[0] <= L'Z') ||
                                             (path[0] >= L'a' && path[0] <= L'z'));
    if (!letter || path[1] != L':' || path.size() < 4 || path[2] != L'\\')
        return std::wstring();
    // Every part a plain name: no "." or "..", no empty part, no further colon.
    size_t start = 3;
    for (;;) {
        const size_t end = path.find(L'\\', start);
        const std::wstring part = path.substr(start, end == std::wstring::npos ? end : end - start);
        if (part.empty() || part == L"." || part == L".." ||
            part.find_first_of(L":/") != std::wstring::npos)
            return std::wstring();
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return path;
}

std::wstring InstalledFolder(const std::wstring& recorded, bool recordedExists,
                             const std::vector<TDriveItem>& drives) {
    if (!recorded.empty() && recordedExists)
        return recorded;
    std::wstring found;
    for (const TDriveItem& d : drives)
        if (d.HasInstallDir)
            found = std::wstring(1, d.Letter) + L":\\CorvaneZideroZur";
    return found;
}

std::wstring BackupLine(const std::wstring& date, int64_t size) {
    return L"Yedek mevcut: " + date + L" (" + std::to_wstring(size / 1048576) + L" MB)";
}

std::wstring RestoreQuestion(const std::wstring& date, int64_t size,
                             const std::wstring& backupDir) {
    return L"GERI YUKLEME ONAYI\r\n"
           L"\r\n"
           L"Bu islem mevcut surumu silip onceki surume geri donecek.\r\n"
           L"\r\n"
           L"Yedek tarihi: " +
           date +
           L"\r\n"
           L"Yedek boyutu: " +
           std::to_wstring(size / 1048576) +
           L" MB\r\n"
           L"Yedek konumu: " +
           backupDir +
           L"\r\n"
           L"\r\n"
           L"DIKKAT:\r\n"
           L"- Bu islem geri alinamaz.\r\n"
           L"- Veritabani (CorvaneDB) ve satis verileri etkilenmeyecek.\r\n"
           L"- CorvaneZideroZUR calisiyorsa kapatilacak.\r\n"
           L"\r\n"
           L"Devam edilsin mi?";
}

} // namespace WizardRules
