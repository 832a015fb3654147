#include "uCommandLine.h"

#include <cwctype>

namespace {

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

std::optional<bool> OnOff(const std::wstring& value) {
    if (value == L"1")
        return true;
    if (value == L"0")
        return false;
    return std::nullopt;
}

// "D", "D:" or "D:\" for a letter C to Z.
std::optional<wchar_t> DriveLetter(const std::wstring& value) {
    const std::wstring v = Upper(value);
    if (v.empty() || v.size() > 3 || v[0] < L'C' || v[0] > L'Z')
        return std::nullopt;
    if (v.size() >= 2 && v[1] != L':')
        return std::nullopt;
    if (v.size() == 3 && v[2] != L'\\')
        return std::nullopt;
    return v[0];
}

} // namespace

TSetupSwitches ParseSwitches(const std::vector<std::wstring>& args) {
    TSetupSwitches s;
    auto fail = [&s](const std::wstring& msg) {
        if (s.Error.empty())
            s.Error = msg;
    };
    for (const std::wstring& arg : args) {
        if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) {
            fail(L"Bilinmeyen parametre: " + arg);
            continue;
        }
        const size_t eq = arg.find(L'=');
        const std::wstring name = Upper(arg.substr(1, eq == std::wstring::npos ? eq : eq - 1));
        const bool hasValue = eq != std::wstring::npos;
        const std::wstring value = hasValue ? arg.substr(eq + 1) : std::wstring();
        const std::wstring bad = L"Geçersiz parametre değeri: " + arg;
        std::optional<bool>* option = name == L"SHORTCUT"   ? &s.Shortcut
                                      : name == L"FIREWALL" ? &s.Firewall
                                      : name == L"REMOTE"   ? &s.Remote
                                      : name == L"SERVICE"  ? &s.Service
                                      : name == L"DEMO"     ? &s.Demo
                                                            : nullptr;
        if (!hasValue && (name == L"S" || name == L"SP" || name == L"RESTORE" || name == L"?" ||
                          name == L"NORESTART" || name == L"NOCLOSEAPPS")) {
            (name == L"S"             ? s.Silent
             : name == L"SP"          ? s.WithProgress
             : name == L"?"           ? s.Help
             : name == L"NORESTART"   ? s.NoRestart
             : name == L"NOCLOSEAPPS" ? s.NoCloseApps
                                      : s.Restore) = true;
        } else if (name == L"LOG" && hasValue) {
            if (value.empty())
                fail(bad);
            s.LogPath = value;
        } else if ((name == L"DISK" || name == L"DBDISK") && hasValue) {
            const std::optional<wchar_t> letter = DriveLetter(value);
            if (!letter)
                fail(bad);
            (name == L"DISK" ? s.Drive : s.DbDrive) = letter;
        } else if (name == L"MODE" && hasValue) {
            const std::wstring v = Upper(value);
            s.ModeName = v == L"NEW"      ? L"CorvaneMarketSetup.exe"
                         : v == L"UPDATE" ? L"CorvaneMarketUpdate.exe"
                         : v == L"FILE"   ? L"CorvaneMarketDosyaUpdate.exe"
                                          : L"";
            if (s.ModeName.empty())
                fail(bad);
        } else if (name == L"TYPE" && hasValue) {
            const std::wstring v = Upper(value);
            if (v == L"ANA" || v == L"DB")
                s.DbOnly = v == L"DB";
            else
                fail(bad);
        } else if (option && hasValue) {
            *option = OnOff(value);
            if (!*option)
                fail(bad);
        } else {
            fail(L"Bilinmeyen parametre: " + arg);
        }
    }
    if (s.Silent && s.WithProgress)
        fail(L"/S ve /SP birlikte kullanılamaz.");
    return s;
}

std::wstring HelpText() {
    return L"Kullanım: CorvaneMarketSetup.exe [parametreler]\r\n"
           L"\r\n"
           L"/S\t\tSessiz kurulum: pencere ve soru yok\r\n"
           L"/SP\t\tİlerlemeyi gösteren sessiz kurulum\r\n"
           L"/DISK=D\t\tKurulum diski\r\n"
           L"/DBDISK=E\tVeritabanı diski\r\n"
           L"/TYPE=ANA|DB\tKurulum tipi: Ana Makine veya Sadece CorvaneDB\r\n"
           L"/SHORTCUT=0|1\tMasaüstü kısayolu\r\n"
           L"/FIREWALL=0|1\tGüvenlik duvarı kuralları\r\n"
           L"/REMOTE=0|1\tUzak erişim\r\n"
           L"/SERVICE=0|1\tCorvaneMarket Servisi\r\n"
           L"/DEMO=0|1\tDemo verileri\r\n"
           L"/RESTORE\t\tSon güncellemenin yedeğini geri yükle\r\n"
           L"/LOG=dosya\tGünlüğü bu dosyaya da yaz\r\n"
           L"/NORESTART\tKabul edilir; kurulum yeniden başlatma gerektirmez\r\n"
           L"/NOCLOSEAPPS\tKasa programı çalışıyorsa hiçbir şey yapmadan çık\r\n"
           L"/MODE=NEW|UPDATE|FILE\tYeni kurulum, tam güncelleme veya dosya güncellemesi "
           L"(dosya adı yerine)\r\n"
           L"/?\t\tBu yardım\r\n"
           L"\r\n"
           L"Çıkış kodları: 0 başarılı, 1603 başarısız, 536870913 başarısız (geri yükleme "
           L"yapıldı), 536870914 başarısız (geri yükleme de başarısız), 87 geçersiz parametre, "
           L"536870915 kasa programı çalışıyor (/NOCLOSEAPPS), "
           L"1223 yönetici izni verilmedi, 1602 iptal edildi, 1618 başka bir kurulum çalışıyor.";
}
