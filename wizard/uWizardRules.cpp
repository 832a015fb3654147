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

namespace {

bool SameTextAscii(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'a' && x <= L'z')
            x = static_cast<wchar_t>(x - L'a' + L'A');
        if (y >= L'a' && y <= L'z')
            y = static_cast<wchar_t>(y - L'a' + L'A');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

TFinishTexts FinishTexts(const TFinishState& s) {
    if (SameTextAscii(s.InstallTitle, L"Geri Yukleme"))
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

} // namespace WizardRules
