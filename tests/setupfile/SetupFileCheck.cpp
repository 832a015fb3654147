// The machine after each scenario of the setup-file suite (tests/setupfile/suite.sh), checked
// the way a technician would: files byte for byte against the payloads and against what was
// there before, services with their image paths and states, the uninstall key, the shortcut,
// the accounts the stand-in database server recorded, the firewall rules the recording netsh
// kept, and the lines the window showed. One test suite per scenario; the script picks it.
//   CORVANE_SF_SCENARIO      folder of the scenario: memo.txt (the log), page.txt, settings.txt,
//                            welcome.txt (the controls, as wizard_probe dumps them), snapshots
//   CORVANE_SF_PAYLOADS      folder of payload-1.0.0, payload-1.1.0, payload-1.1.1
//   CORVANE_SF_FAIL_PAYLOAD  payload of the update that fails
//   CORVANE_SF_NETSH         folder of the recording netsh.exe
//   CORVANE_SF_DB_DRIVE      letter of the database drive when it is not D (unattended runs)
// The uninstaller's scenarios also leave logfile.txt / log-N.txt (its log files), exit-N.txt and
// seconds-N.txt (silent runs).
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include "MachineProbe.h"

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using TLines = std::vector<std::wstring>;

std::wstring Env(const wchar_t* name);

const std::wstring kInstall = L"D:\\CorvaneZideroZur";
const std::wstring kOrtak =
    (Env(L"CORVANE_SF_DB_DRIVE").empty() ? L"D" : Env(L"CORVANE_SF_DB_DRIVE")) +
    L":\\CorvaneOrtakData";
const std::wstring kBackup = L"D:\\CorvaneUpdateYedek";
const std::wstring kUninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Market Pos";
const std::wstring kSeparator(40, L'=');

std::wstring Env(const wchar_t* name) {
    wchar_t buf[4096] = {};
    const DWORD n = GetEnvironmentVariableW(name, buf, 4096);
    return n > 0 && n < 4096 ? std::wstring(buf, n) : std::wstring();
}

std::wstring Scenario(const std::wstring& name) {
    return Env(L"CORVANE_SF_SCENARIO") + L"\\" + name;
}
std::wstring Payload(const std::wstring& version) {
    return Env(L"CORVANE_SF_PAYLOADS") + L"\\payload-" + version;
}

TLines SplitLines(const std::wstring& text) {
    TLines lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

bool Starts(const std::wstring& s, const std::wstring& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// --- what the window showed ---------------------------------------------------------------------

// The log lines of the window.
// The lines of a log file without the time each one starts with (which every line must have).
TLines Untimed(const TLines& lines) {
    static const std::wregex time(LR"(^\d\d:\d\d:\d\d\.\d\d\d )");
    TLines out;
    for (const std::wstring& line : lines) {
        EXPECT_TRUE(std::regex_search(line, time)) << "no time: " << Narrow(line);
        out.push_back(std::regex_replace(line, time, L""));
    }
    return out;
}

TLines Memo(const std::wstring& file = L"memo.txt") {
    return SplitLines(Widen(FileBytes(Scenario(file))));
}

std::wstring Joined(const TLines& lines) {
    std::wstring all;
    for (const auto& l : lines)
        all += l + L"\n";
    return all;
}

bool HasLine(const TLines& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Index of the first line at or after `from` that equals `line` (or begins with it when
// `prefix`), or -1.
int IndexOf(const TLines& lines, const std::wstring& line, int from = 0, bool prefix = false) {
    for (int i = std::max(from, 0); i < static_cast<int>(lines.size()); ++i)
        if (prefix ? Starts(lines[i], line) : lines[i] == line)
            return i;
    return -1;
}

// Every line of `expected` appears in the log, in this order ("*" at the end: a prefix).
void ExpectInOrder(const TLines& log, const TLines& expected) {
    int at = 0;
    for (const auto& e : expected) {
        const bool prefix = !e.empty() && e.back() == L'*';
        const int i = IndexOf(log, prefix ? e.substr(0, e.size() - 1) : e, at, prefix);
        EXPECT_GE(i, 0) << "log line missing or out of order: \"" << Narrow(e) << "\"\n"
                        << Narrow(Joined(log));
        if (i >= 0)
            at = i + 1;
    }
}

struct TControl {
    std::wstring Class, Text;
    bool Visible = false, Enabled = false, Checked = false;
};

std::vector<TControl> Controls(const std::wstring& file) {
    std::vector<TControl> out;
    for (const auto& line : SplitLines(Widen(FileBytes(Scenario(file))))) {
        std::vector<std::wstring> f;
        size_t pos = 0;
        for (;;) {
            const size_t tab = line.find(L'\t', pos);
            f.push_back(
                line.substr(pos, tab == std::wstring::npos ? std::wstring::npos : tab - pos));
            if (tab == std::wstring::npos)
                break;
            pos = tab + 1;
        }
        if (f.size() < 5)
            continue;
        TControl c;
        c.Class = f[0];
        c.Visible = f[1] == L"visible";
        c.Enabled = Starts(f[2], L"enabled");
        c.Checked = f[2].find(L"checked") != std::wstring::npos;
        c.Text = f[4];
        out.push_back(c);
    }
    return out;
}

const TControl* FindControl(const std::vector<TControl>& cs, const std::wstring& text) {
    for (const auto& c : cs)
        if (c.Text == text)
            return &c;
    return nullptr;
}

// The texts of the visible controls, for failure messages.
std::string Shown(const std::vector<TControl>& cs) {
    std::wstring all;
    for (const auto& c : cs)
        if (c.Visible)
            all += c.Class + L": " + c.Text + L"\n";
    return Narrow(all);
}

void ExpectShown(const std::vector<TControl>& cs, const std::wstring& text, bool visible = true) {
    const TControl* c = FindControl(cs, text);
    if (visible) {
        EXPECT_TRUE(c && c->Visible) << "not shown: \"" << Narrow(text) << "\"\n" << Shown(cs);
    } else {
        EXPECT_TRUE(!c || !c->Visible) << "shown: \"" << Narrow(text) << "\"";
    }
}

// --- the machine --------------------------------------------------------------------------------

std::wstring ImagePath(const wchar_t* service) {
    return RegText(HKEY_LOCAL_MACHINE,
                   std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + service, L"ImagePath");
}

// The desktop the setup program uses: the all-users desktop when it exists, else the user's.
std::wstring Desktop() {
    wchar_t buf[MAX_PATH + 1] = {};
    if (SHGetSpecialFolderPathW(nullptr, buf, CSIDL_COMMON_DESKTOPDIRECTORY, FALSE) &&
        DirectoryExists(buf))
        return buf;
    buf[0] = 0;
    SHGetSpecialFolderPathW(nullptr, buf, CSIDL_DESKTOPDIRECTORY, FALSE);
    return buf;
}

// Firewall rules the recording netsh keeps: the names, one per rule, in the order added.
TLines FirewallRules() {
    TLines names;
    const std::string bytes = FileBytes(Env(L"CORVANE_SF_NETSH") + L"\\rules.txt");
    if (bytes == "<missing>") // netsh never ran
        return names;
    for (const auto& l : SplitLines(Widen(bytes))) {
        if (!l.empty())
            names.push_back(l.substr(0, l.find(L'\t')));
    }
    return names;
}

// Every file of `expected` is in `actual` with the same bytes, except the names skipped.
void ExpectSameFiles(const std::wstring& expected, const std::wstring& actual,
                     const std::function<bool(const std::wstring&)>& skip = nullptr) {
    const TLines files = FilesUnder(expected);
    EXPECT_FALSE(files.empty()) << Narrow(expected);
    for (const auto& rel : files) {
        if (skip && skip(rel))
            continue;
        EXPECT_TRUE(FileBytes(actual + L"\\" + rel) == FileBytes(expected + L"\\" + rel))
            << Narrow(rel) << " differs from " << Narrow(expected);
    }
}

// Both folders hold exactly the same files with the same bytes.
void ExpectSameTree(const std::wstring& expected, const std::wstring& actual) {
    EXPECT_EQ(FilesUnder(actual), FilesUnder(expected)) << Narrow(actual);
    ExpectSameFiles(expected, actual);
}

bool AppEntry(const std::wstring& rel) {
    return Starts(rel, L"Data\\") || Starts(rel, L"mariadb\\") || rel == L"pos-config.json";
}

void ExpectDatabaseService() {
    EXPECT_EQ(ServiceState(L"CorvaneDB"), static_cast<DWORD>(SERVICE_RUNNING));
    const std::wstring image = ImagePath(L"CorvaneDB");
    EXPECT_NE(image.find(kOrtak + L"\\mariadb\\bin\\mariadbd.exe"), std::wstring::npos)
        << Narrow(image);
    EXPECT_NE(image.find(L"--defaults-file=" + kOrtak + L"\\my.ini"), std::wstring::npos)
        << Narrow(image);
    EXPECT_TRUE(ServerAnswers(3307));
    const std::string accounts = FileBytes(kOrtak + L"\\Data\\mysql\\accounts.txt");
    for (const char* host : {"\t%\t", "\t192.168.%\t", "\t10.%\t", "\t172.%\t"})
        EXPECT_NE(accounts.find(std::string("root") + host + "kelmor482"), std::string::npos)
            << host << "\n"
            << accounts;
}

void ExpectTempFolderGone() {
    EXPECT_EQ(FileBytes(Scenario(L"temp-left.txt")).substr(0, 1), "0")
        << "the extraction folder is still in the temporary folder";
}

// The first lines: the payload extracted into a new temporary folder, then the run's header.
void ExpectExtractedHeader(const TLines& log, const std::wstring& mode) {
    ASSERT_GE(log.size(), 8u) << Narrow(Joined(log));
    EXPECT_EQ(log[0], L"Dosyalar çıkarılıyor...");
    EXPECT_TRUE(std::regex_match(
        Narrow(log[1]), std::regex(R"(Geçici klasör: C:\\.*\\CorvaneMarketSetup_20\d{12})")))
        << Narrow(log[1]);
    EXPECT_EQ(IndexOf(log, L"Geliştirme modu: ", 0, true), -1);
    ExpectInOrder(
        log, {kSeparator, L"Corvane Market Pos Kurulum", L"Hedef: " + kInstall, mode, kSeparator});
}

void ExpectNoError(const TLines& log) {
    EXPECT_EQ(IndexOf(log, L"!!! HATA: ", 0, true), -1) << Narrow(Joined(log));
}

// --- new installation -----------------------------------------------------------------------

std::wstring DisplayVersion() {
    return RegText(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion");
}

// The version the backup's files belong to, as the backup recorded it.
std::wstring BackupVersion() {
    std::string text = FileBytes(kBackup + L"\\surum.info");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return std::wstring(text.begin(), text.end());
}

TEST(NewInstall, SettingsOfferedDriveDAndTheFinishPageNamesTheFolders) {
    const auto settings = Controls(L"settings.txt");
    int combos = 0;
    for (const auto& c : settings)
        if (_wcsicmp(c.Class.c_str(), L"ComboBox") == 0 && c.Visible && c.Text == L"D:")
            ++combos;
    EXPECT_EQ(combos, 2) << Shown(settings);
    ExpectShown(settings, L"Ana Makine");
    ExpectShown(settings, L"D:\\CorvaneOrtakData\\mariadb  |  D:\\CorvaneOrtakData\\Data");
    bool driveInfo = false;
    for (const auto& c : settings)
        driveInfo |=
            c.Visible &&
            std::regex_match(Narrow(c.Text),
                             std::regex(R"(Boş alan: \d+ MB  \|  Hedef: D:\\CorvaneZideroZur)"));
    EXPECT_TRUE(driveInfo) << Shown(settings);
    for (const wchar_t* box :
         {L"Masaüstü kısayolu oluştur", L"Güvenlik duvarı kuralları ekle (Port 3307, 4002)",
          L"Uzak erişim (terminaller için ağ erişimi)", L"CorvaneMarket Servisi kur"})
        ExpectShown(settings, box);
    ExpectShown(settings, L"Demo verileri yükle", false);

    const auto page = Controls(L"page.txt");
    ExpectShown(page, L"Kurulum Tamamlandı!");
    ExpectShown(page,
                L"CorvaneZideroZur başarıyla kuruldu!\\n\\nKurulum klasörü: D:\\CorvaneZideroZur"
                L"\\nVeritabanı: D:\\CorvaneOrtakData\\nMariaDB Port: 3307");
    ExpectShown(page, L"CorvaneMarketı başlat");
    ExpectShown(page, L"Kapat");
}

TEST(NewInstall, LogShowsTheExtractionAndEveryStepOfTheNewInstallation) {
    const TLines log = Memo();
    ExpectExtractedHeader(log, L"Mod: YENI KURULUM");
    ExpectInOrder(log, {L"[1/14] İşlemler durduruluyor...", L"[2/14] Dosyalar kopyalanıyor...",
                        L"  [klasor] mariadb -> D:\\CorvaneOrtakData\\mariadb",
                        L"[3/14] Klasörler oluşturuluyor...", L"[4/14] my.ini...",
                        L"[5/14] Config dosyaları...", L"[6/14] MariaDB init...",
                        L"[7/14] CorvaneDB servisi...", L"[8/14] Firewall...",
                        L"[11/14] Uzak erişim...", L"[12/14] CorvaneMarketService...",
                        L"[13/14] Kısayollar...", L"[14/14] Program Ekle/Kaldır kaydı...", L"",
                        kSeparator, L"KURULUM BAŞARIYLA TAMAMLANDI", kSeparator});
    EXPECT_FALSE(HasLine(log, L"[10/14] Demo veriler...")) << "demo data was not asked for";
    ExpectNoError(log);
}

TEST(NewInstall, ApplicationFilesAreThePayloadsAndTheDatabaseProgramsSitInTheSharedFolder) {
    const std::wstring payload = Payload(L"1.0.0");
    ExpectSameFiles(payload, kInstall, AppEntry);
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\Data"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\mariadb"));
    ExpectSameFiles(payload + L"\\mariadb", kOrtak + L"\\mariadb");
    const std::string config = FileBytes(kInstall + L"\\pos-config.json");
    EXPECT_NE(config.find("kelmor482"), std::string::npos) << config;
    EXPECT_EQ(config.find("payload-1.0.0"), std::string::npos) << "the payload's own file was kept";
    EXPECT_TRUE(FileExists(kInstall + L"\\CorvaneMarketServis\\pos-config.json"));
    EXPECT_TRUE(FileExists(kOrtak + L"\\my.ini"));
    EXPECT_TRUE(DirectoryExists(kOrtak + L"\\Data\\mysql"));
    EXPECT_FALSE(FileExists(kOrtak + L"\\mariadb\\setup-remote.sql"));
    EXPECT_FALSE(DirectoryExists(kBackup)) << "a new installation takes no backup";
    ExpectTempFolderGone();
}

TEST(NewInstall, ServicesRunFromTheInstalledPrograms) {
    ExpectDatabaseService();
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(ImagePath(L"CorvaneMarketService")
                  .find(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
              std::wstring::npos)
        << Narrow(ImagePath(L"CorvaneMarketService"));
    EXPECT_EQ(FirewallRules(), (TLines{L"CorvaneDB", L"CorvaneMarketSync"}));
}

TEST(NewInstall, ShortcutUninstallEntryAndTheTillProgramStartedByKapat) {
    const TLinkInfo link = ReadLink(Desktop() + L"\\Corvane Market Pos.lnk");
    ASSERT_TRUE(link.Loaded) << Narrow(Desktop());
    EXPECT_EQ(link.Path, kInstall + L"\\CorvaneZideroZUR.exe");
    EXPECT_EQ(link.WorkDir, kInstall);
    EXPECT_EQ(link.Description, L"Corvane Market Pos");
    EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName"), L"Corvane Market Pos");
    EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation"), kInstall);
    EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, L"UninstallString"),
              L"\"" + kInstall + L"\\Uninstall Corvane Market Pos.exe\"");
    EXPECT_EQ(RegNumber(kUninstallKey, L"NoModify"), 1u);
    EXPECT_EQ(DisplayVersion(), L"1.0.0");
    EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString"),
              L"\"" + kInstall + L"\\Uninstall Corvane Market Pos.exe\" /S");
    EXPECT_TRUE(ProcessRunning(L"CorvaneZideroZUR.exe"))
        << "\"Kapat\" with the box ticked starts the till program";
}

TEST(NewInstall, LogFileOnDiskHoldsExactlyTheWindowsLines) {
    const std::string bytes = FileBytes(Scenario(L"logfile.txt"));
    ASSERT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF") << "UTF-8 with a byte-order mark";
    for (size_t i = bytes.find('\n'); i != std::string::npos; i = bytes.find('\n', i + 1))
        ASSERT_EQ(bytes[i - 1], '\r') << "every line ends with CR LF";
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    TLines memo = Memo();
    EXPECT_GT(memo.size(), 40u);
    // Every user may read the file: the database password of the MariaDB command lines is
    // masked there, the window shows it.
    int masked = 0;
    for (std::wstring& line : memo)
        for (size_t at; (at = line.find(L"kelmor482")) != std::wstring::npos; ++masked)
            line.replace(at, 9, L"****");
    EXPECT_EQ(masked, 2) << "mariadb-install-db and the mariadb client";
    EXPECT_EQ(bytes.find("kelmor482"), std::string::npos);
    // The window's lines, between the run's header and its exit code.
    TLines file = Untimed(SplitLines(Widen(bytes.substr(3))));
    ASSERT_GT(file.size(), 5u);
    EXPECT_EQ(file[0], L"Kurulum dosyası: CorvaneMarketSetup-1.0.0.exe (sürüm 1.0.0)");
    EXPECT_EQ(file[1], L"Komut satırı: (parametre yok)");
    EXPECT_EQ(file[2].rfind(L"Kullanıcı: ", 0), 0u);
    EXPECT_EQ(file[3].rfind(L"Bilgisayar: ", 0), 0u);
    EXPECT_EQ(file.back(), L"Çıkış kodu: 0");
    EXPECT_EQ(TLines(file.begin() + 4, file.end() - 1), memo);
}

// --- full update ------------------------------------------------------------------------------

TEST(FullUpdate, WizardShowsTheUpdateFileAndItsText) {
    ExpectShown(Controls(L"welcome.txt"), L"v1.1.0");
    const auto settings = Controls(L"settings.txt");
    ExpectShown(settings, L"Masaüstü kısayolu oluştur");
    for (const wchar_t* hidden : {L"Demo verileri yükle", L"CorvaneMarket Servisi kur",
                                  L"Güvenlik duvarı kuralları ekle (Port 3307, 4002)",
                                  L"Uzak erişim (terminaller için ağ erişimi)", L"Kurulum Tipi:"})
        ExpectShown(settings, hidden, false);
    const auto page = Controls(L"page.txt");
    ExpectShown(page, L"Kurulum Tamamlandı!");
    ExpectShown(page, L"Corvane Market Pos başarıyla güncellendi!\\n\\nTüm dosyalar güncellendi. "
                      L"Veritabanınız korundu.");
}

TEST(FullUpdate, LogShowsEveryStepOfTheFullUpdate) {
    const TLines log = Memo();
    ExpectExtractedHeader(log, L"Mod: TAM GUNCELLEME");
    ExpectInOrder(
        log,
        {L"[0/14] On kontrol yapiliyor...", L"  OK - On kontrol basarili",
         L"[TAM GÜNCELLEME] Servis ve işlemler durduruluyor...", L"  Tüm işlemler durduruldu",
         L"[1.5/14] Yedek olusturuluyor...", L"  Yedek olusturuldu: D:\\CorvaneUpdateYedek (*",
         L"[2/14] Dosyalar kopyalanıyor...", L"  [TAM GÜNCELLEME] Dosyalar kopyalanıyor...",
         L"[TAM GÜNCELLEME] Servis yeniden kuruluyor...", L"  Servis OK", L"[13/14] Kısayollar...",
         kSeparator, L"TAM GÜNCELLEME BAŞARIYLA TAMAMLANDI", kSeparator});
    ExpectNoError(log);
}

TEST(FullUpdate, NewFilesInstalledShopDataAndConnectionFileKept) {
    ExpectSameFiles(Payload(L"1.1.0"), kInstall, AppEntry);
    EXPECT_EQ(FileBytes(kInstall + L"\\pos-config.json"),
              FileBytes(Scenario(L"pos-config-before.json")));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\Data"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\mariadb"));
    // The database's folder is not touched: programs, configuration and accounts.
    const std::wstring before = Scenario(L"ortak-before");
    EXPECT_EQ(FileBytes(kOrtak + L"\\my.ini"), FileBytes(before + L"\\my.ini"));
    ExpectSameFiles(before + L"\\mariadb\\bin", kOrtak + L"\\mariadb\\bin");
    EXPECT_EQ(FileBytes(kOrtak + L"\\Data\\mysql\\accounts.txt"),
              FileBytes(before + L"\\Data\\mysql\\accounts.txt"));
    ExpectTempFolderGone();
}

TEST(FullUpdate, BackupHoldsThePreviousVersionAndDescribesIt) {
    const std::wstring old = Payload(L"1.0.0");
    for (const wchar_t* f : {L"CorvaneZideroZUR.exe", L"CorvaneCore.dll", L"CorvaneReports.dll",
                             L"sqlite3.dll", L"version.json", L"web_resources.res"})
        EXPECT_EQ(FileBytes(kBackup + L"\\" + f), FileBytes(old + L"\\" + f)) << Narrow(f);
    ExpectSameTree(old + L"\\masaustu", kBackup + L"\\masaustu");
    EXPECT_FALSE(FileExists(kBackup + L"\\pos-config.json"));
    const std::string info = FileBytes(kBackup + L"\\backup.info");
    EXPECT_TRUE(std::regex_match(
        info, std::regex("\xEF\xBB\xBFTARIH=20\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n"
                         "MOD=TamGuncelleme\r\nINSTALL_DIR=D:\\\\CorvaneZideroZur\r\n"
                         "BOYUT=\\d+\r\n")))
        << info;
}

TEST(FullUpdate, ServicesRunAgainAndTheShortcutStays) {
    ExpectDatabaseService();
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(ImagePath(L"CorvaneMarketService")
                  .find(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
              std::wstring::npos);
    EXPECT_TRUE(ReadLink(Desktop() + L"\\Corvane Market Pos.lnk").Loaded);
    EXPECT_TRUE(KeyExists(kUninstallKey));
    EXPECT_EQ(DisplayVersion(), L"1.1.0") << "the update names its version";
}

// --- file update --------------------------------------------------------------------------------

TEST(FileUpdate, WizardShowsTheFileUpdateText) {
    ExpectShown(Controls(L"welcome.txt"), L"v1.1.1");
    const auto page = Controls(L"page.txt");
    ExpectShown(page, L"Kurulum Tamamlandı!");
    ExpectShown(page, L"CorvaneZideroZUR.exe başarıyla güncellendi!");
}

TEST(FileUpdate, LogShowsOnlyTheTillProgramReplaced) {
    const TLines log = Memo();
    ExpectExtractedHeader(log, L"Mod: DOSYA GUNCELLEME (sadece EXE)");
    ExpectInOrder(log, {L"[0/14] On kontrol yapiliyor...", L"  OK - On kontrol basarili",
                        L"[DOSYA GÜNCELLEME] Sadece CorvaneZideroZUR kapatılıyor...",
                        L"[1.5/14] Yedek olusturuluyor...",
                        L"  [DOSYA GUNCELLEME] Yedeklenen: CorvaneZideroZUR.exe",
                        L"[2/14] Dosyalar kopyalanıyor...",
                        L"  [DOSYA GÜNCELLEME] CorvaneZideroZUR.exe kopyalanıyor...",
                        L"  CorvaneZideroZUR.exe kopyalandı", L"  EXE doğrulandı (*", kSeparator,
                        L"DOSYA GÜNCELLEME BAŞARIYLA TAMAMLANDI", kSeparator});
    EXPECT_EQ(IndexOf(log, L"[TAM GÜNCELLEME]", 0, true), -1);
    ExpectNoError(log);
}

TEST(FileUpdate, OnlyTheTillProgramChangedAndItsOldVersionIsTheBackup) {
    const std::wstring before = Scenario(L"install-before");
    EXPECT_EQ(FileBytes(kInstall + L"\\CorvaneZideroZUR.exe"),
              FileBytes(Payload(L"1.1.1") + L"\\CorvaneZideroZUR.exe"));
    EXPECT_EQ(FilesUnder(kInstall), FilesUnder(before));
    ExpectSameFiles(before, kInstall, [](const std::wstring& rel) {
        return rel == L"CorvaneZideroZUR.exe" || Starts(rel, L"logs\\");
    });
    EXPECT_EQ(FilesUnder(kBackup),
              (TLines{L"CorvaneZideroZUR.exe", L"backup.info", L"surum.info"}));
    EXPECT_EQ(FileBytes(kBackup + L"\\CorvaneZideroZUR.exe"),
              FileBytes(before + L"\\CorvaneZideroZUR.exe"));
    const std::string info = FileBytes(kBackup + L"\\backup.info");
    EXPECT_NE(info.find("\r\nMOD=DosyaGuncelleme\r\n"), std::string::npos) << info;
    EXPECT_NE(info.find("\r\nBOYUT=" +
                        std::to_string(FileBytes(before + L"\\CorvaneZideroZUR.exe").size()) +
                        "\r\n"),
              std::string::npos)
        << info;
    // The service and its server are left running.
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    ExpectDatabaseService();
}

// --- full update whose copy fails ---------------------------------------------------------------

TEST(FailedUpdate, WindowShowsTheFailureWithTheCopyError) {
    const auto page = Controls(L"page.txt");
    ExpectShown(page, L"Hata Oluştu!");
    ExpectShown(page, L"Kapat");
    bool message = false;
    for (const auto& c : page)
        message |=
            c.Visible && Starts(c.Text, L"Kritik dosya kopyalanamadı: CorvaneReports.dll - ");
    EXPECT_TRUE(message) << Shown(page);
    EXPECT_TRUE(FileExists(Scenario(L"locker-running.txt")))
        << "the program holding the DLL must not have been ended by the update";
}

TEST(FailedUpdate, LogShowsTheAutomaticRollbackAndTheCopyErrorAsTheResult) {
    const TLines log = Memo();
    ExpectExtractedHeader(log, L"Mod: TAM GUNCELLEME");
    ExpectInOrder(log,
                  {L"[1.5/14] Yedek olusturuluyor...", L"  ! CorvaneReports.dll yedeklenemedi: *",
                   L"[2/14] Dosyalar kopyalanıyor...", L"",
                   L"!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!",
                   L"Hata: Kritik dosya kopyalanamadı: CorvaneReports.dll - *", kSeparator,
                   L"ROLLBACK BASLATILIYOR", kSeparator,
                   L"Yedekten geri yukleniyor: D:\\CorvaneUpdateYedek", L"ROLLBACK TAMAMLANDI",
                   L"Sistem onceki surume basariyla geri yuklendi.", L"",
                   L"!!! HATA: Kritik dosya kopyalanamadı: CorvaneReports.dll - *"});
    const int hata = IndexOf(log, L"Hata: ", 0, true);
    const int final = IndexOf(log, L"!!! HATA: ", 0, true);
    ASSERT_GE(hata, 0);
    ASSERT_GE(final, 0);
    EXPECT_EQ(log[final].substr(10), log[hata].substr(6))
        << "the run ends with the copy error itself";
    EXPECT_EQ(IndexOf(log, L"[TAM GÜNCELLEME] Servis yeniden kuruluyor..."), -1);
}

TEST(FailedUpdate, WhatTheBackupHeldIsBackAndTheServiceStaysStopped) {
    const std::wstring before = Scenario(L"install-before");
    EXPECT_EQ(DisplayVersion(), BackupVersion()) << "the version of the files that are back";
    for (const wchar_t* f :
         {L"CorvaneZideroZUR.exe", L"CorvaneCore.dll", L"CorvaneReports.dll", L"sqlite3.dll",
          L"version.json", L"web_resources.res", L"pos-config.json"})
        EXPECT_EQ(FileBytes(kInstall + L"\\" + f), FileBytes(before + L"\\" + f)) << Narrow(f);
    ExpectSameTree(before + L"\\masaustu", kInstall + L"\\masaustu");
    // The new backup: the installation as it was, without the DLL that could not be read.
    EXPECT_TRUE(FileExists(kBackup + L"\\backup.info"));
    EXPECT_EQ(FileBytes(kBackup + L"\\CorvaneZideroZUR.exe"),
              FileBytes(before + L"\\CorvaneZideroZUR.exe"));
    EXPECT_FALSE(FileExists(kBackup + L"\\CorvaneReports.dll"));
    // Stopped for the update, and a failed update restarts nothing.
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_STOPPED));
    ExpectDatabaseService();
}

// --- restore from the welcome page
// ----------------------------------------------------------------

TEST(Restore, WelcomePageOffersTheBackupAndAsksFirst) {
    const auto welcome = Controls(L"welcome.txt");
    bool line = false;
    for (const auto& c : welcome)
        line |= c.Visible &&
                std::regex_match(
                    Narrow(c.Text),
                    std::regex(R"(Yedek mevcut: 20\d\d-\d\d-\d\d \d\d:\d\d:\d\d \(\d+ MB\))"));
    EXPECT_TRUE(line) << Shown(welcome);
    const TControl* button = FindControl(welcome, L"Onceki Surume Geri Yukle");
    ASSERT_TRUE(button);
    EXPECT_TRUE(button->Visible && button->Enabled);
    const std::wstring box = Widen(FileBytes(Scenario(L"confirm.txt")));
    EXPECT_NE(box.find(L"GERI YUKLEME ONAYI\\n\\nBu islem mevcut surumu silip onceki surume geri "
                       L"donecek.\\n\\nYedek tarihi: "),
              std::wstring::npos)
        << Narrow(box);
    EXPECT_NE(
        box.find(L"\\nYedek konumu: D:\\CorvaneUpdateYedek\\n\\nDIKKAT:\\n- Bu islem geri "
                 L"alinamaz.\\n- Veritabani (CorvaneDB) ve satis verileri etkilenmeyecek.\\n- "
                 L"CorvaneZideroZUR calisiyorsa kapatilacak.\\n\\nDevam edilsin mi?"),
        std::wstring::npos)
        << Narrow(box);
}

TEST(Restore, FinishPageAndLogOfTheRestore) {
    const auto page = Controls(L"page.txt");
    ExpectShown(page, L"Geri Yükleme Tamamlandı!");
    ExpectShown(page,
                L"Corvane Market Pos onceki sürüme başarıyla geri yüklendi.\\n\\nVeritabani ve "
                L"satış verileriniz korundu.");
    const TLines log = Memo();
    ExpectInOrder(log, {L"Geri Yukleme baslatiliyor...", L"[1/14] İşlemler durduruluyor...",
                        L"  OK", kSeparator, L"ROLLBACK BASLATILIYOR", kSeparator,
                        L"Yedekten geri yukleniyor: D:\\CorvaneUpdateYedek", L"ROLLBACK TAMAMLANDI",
                        L"", L"Onceki surume basariyla donuldu."});
    EXPECT_TRUE(HasLine(log, L"  [geri] CorvaneZideroZUR.exe")) << Narrow(Joined(log));
    EXPECT_TRUE(HasLine(log, L"  [klasor] masaustu")) << Narrow(Joined(log));
    EXPECT_EQ(IndexOf(log, L"ROLLBACK HATASI: ", 0, true), -1);
    EXPECT_EQ(IndexOf(log, L"Dosyalar çıkarılıyor..."), -1) << "a restore extracts nothing";
}

TEST(Restore, BackupIsBackInPlaceAndTheTillProgramWasStopped) {
    const std::wstring backup = Scenario(L"backup-before");
    const std::string version = FileBytes(backup + L"\\surum.info");
    EXPECT_EQ(Narrow(DisplayVersion()) + "\r\n", version)
        << "the version of the files that are back";
    for (const auto& rel : FilesUnder(backup)) {
        if (rel == L"backup.info" || rel == L"surum.info")
            continue;
        EXPECT_EQ(FileBytes(kInstall + L"\\" + rel), FileBytes(backup + L"\\" + rel))
            << Narrow(rel);
    }
    // masaustu is replaced as a whole: the file added by hand is gone.
    ExpectSameTree(backup + L"\\masaustu", kInstall + L"\\masaustu");
    EXPECT_FALSE(FileExists(kInstall + L"\\backup.info"));
    ExpectSameTree(backup, kBackup);
    EXPECT_TRUE(FileExists(Scenario(L"till-stopped.txt")))
        << "the running till program was not ended";
    ExpectDatabaseService();
}

// --- a power cut while a full update registers the service again, then the restore ------------

TEST(PowerCut, CutAfterTheServiceWasDeletedAndTheRestoreRegisteredItAgain) {
    ExpectInOrder(Memo(L"memo-cut.txt"),
                  {L"[2/14] Dosyalar kopyalanıyor...",
                   L"[TAM GÜNCELLEME] Servis yeniden kuruluyor...", L"  Yeni servis kuruluyor..."});
    EXPECT_TRUE(FileExists(Scenario(L"missing-after-restart.txt")))
        << "CorvaneMarketService was still registered after the restart";
    ExpectInOrder(Memo(), {L"ROLLBACK TAMAMLANDI", L"  CorvaneMarketServer install...",
                           L"  ! CorvaneMarketService kayitli degildi, yeniden kuruldu",
                           L"Onceki surume basariyla donuldu."});
    // A restore starts nothing: registered, and left stopped.
    EXPECT_EQ(IndexOf(Memo(), L"  net start CorvaneMarketService..."), -1);
    EXPECT_NE(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(ImagePath(L"CorvaneMarketService")
                  .find(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
              std::wstring::npos);
    // The files of the version before the update, byte for byte.
    const std::wstring before = Scenario(L"install-before");
    for (const wchar_t* f : {L"CorvaneZideroZUR.exe", L"CorvaneCore.dll", L"CorvaneReports.dll",
                             L"sqlite3.dll", L"version.json", L"web_resources.res"})
        EXPECT_EQ(FileBytes(kInstall + L"\\" + f), FileBytes(before + L"\\" + f)) << Narrow(f);
    ExpectSameTree(before + L"\\masaustu", kInstall + L"\\masaustu");
}

// --- a new installation cancelled through the close box
// --------------------------------------------

TEST(Cancel, QuestionAskedAndTheWindowClosedByItself) {
    const std::wstring box = Widen(FileBytes(Scenario(L"question.txt")));
    EXPECT_NE(box.find(L"text\tKurulum devam ediyor! İptal edilsin mi?"), std::wstring::npos)
        << Narrow(box);
    EXPECT_TRUE(FileExists(Scenario(L"closed-after.txt")));
    const TLines log = Memo();
    EXPECT_TRUE(HasLine(log, L"[1/14] İşlemler durduruluyor...")) << Narrow(Joined(log));
    EXPECT_EQ(IndexOf(log, L"[3/14] Klasörler oluşturuluyor..."), -1) << Narrow(Joined(log));
}

TEST(Cancel, RunStoppedAtTheNextCheckAndLeftNothingBeyondIt) {
    // Cancelled during the first step: no configuration, no services, no entry, no shortcut.
    const TLines log = Memo();
    if (!HasLine(log, L"[2/14] Dosyalar kopyalanıyor...")) {
        EXPECT_FALSE(DirectoryExists(kInstall));
    }
    EXPECT_FALSE(FileExists(kOrtak + L"\\my.ini"));
    EXPECT_EQ(ServiceState(L"CorvaneDB"), 0u);
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), 0u);
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_FALSE(FileExists(Desktop() + L"\\Corvane Market Pos.lnk"));
    ExpectTempFolderGone();
}

// --- database-only installation from a signed setup file
// ------------------------------------------

TEST(DatabaseOnly, RefusedWithoutTheApplicationFolderThenFinishedWithItsText) {
    const std::wstring box = Widen(FileBytes(Scenario(L"refused.txt")));
    EXPECT_NE(
        box.find(L"text\tKurulum klasörü bulunamadı: D:\\CorvaneZideroZur\\n\\nCorvaneDB kurulumu "
                 L"için CorvaneZideroZur klasörü mevcut olmalıdır."),
        std::wstring::npos)
        << Narrow(box);
    const auto page = Controls(L"page.txt");
    ExpectShown(page, L"Kurulum Tamamlandı!");
    ExpectShown(page,
                L"CorvaneDB başarıyla kuruldu!\\n\\nVeritabanı klasörü: D:\\CorvaneOrtakData\\n"
                L"MariaDB Port: 3307\\nServis Adı: CorvaneDB");
    ExpectShown(page, L"CorvaneMarketı başlat", false);
}

TEST(DatabaseOnly, SignedFileExtractsItsPayloadAndTheLogShowsTheSevenSteps) {
    const TLines log = Memo();
    ExpectExtractedHeader(log, L"Mod: SADECE CorvaneDB");
    ExpectInOrder(log, {L"Mod: SADECE CorvaneDB (MariaDB)", kSeparator,
                        L"[1/7] Mevcut CorvaneDB kontrol ediliyor...",
                        L"  CorvaneDB servisi yok - yeni kurulum",
                        L"[2/7] MariaDB dosyaları kopyalanıyor...", L"  mariadb klasörü kopyalandı",
                        L"[3/7] Data klasörü...", L"[4/7] Yapılandırma...",
                        L"[5/7] MariaDB init...", L"[6/7] CorvaneDB servisi...",
                        L"[7/7] Erişim ayarları...", L"  Firewall: port 3307...", kSeparator,
                        L"CorvaneDB KURULUMU BAŞARIYLA TAMAMLANDI", kSeparator});
    ExpectNoError(log);
}

TEST(DatabaseOnly, OnlyTheDatabaseServiceIsSetUp) {
    ExpectDatabaseService();
    ExpectSameFiles(Payload(L"1.0.0") + L"\\mariadb", kOrtak + L"\\mariadb");
    EXPECT_TRUE(FileExists(kOrtak + L"\\my.ini"));
    EXPECT_EQ(FirewallRules(), (TLines{L"CorvaneDB"}));
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), 0u);
    EXPECT_TRUE(FilesUnder(kInstall).empty()) << "no application files in a database-only run";
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_FALSE(FileExists(Desktop() + L"\\Corvane Market Pos.lnk"));
    ExpectTempFolderGone();
}

// --- unattended runs (/S) on a machine with the database on drive E --------------------------

TEST(SilentInstall, LogFileShowsTheNewInstallationWithoutFirewallAndShortcut) {
    const TLines log = Memo();
    ExpectExtractedHeader(log, L"Mod: YENI KURULUM");
    ExpectInOrder(log, {L"[2/14] Dosyalar kopyalanıyor...",
                        L"  [klasor] mariadb -> " + kOrtak + L"\\mariadb",
                        L"[7/14] CorvaneDB servisi...", L"[11/14] Uzak erişim...",
                        L"[12/14] CorvaneMarketService...", L"[14/14] Program Ekle/Kaldır kaydı...",
                        L"KURULUM BAŞARIYLA TAMAMLANDI"});
    EXPECT_FALSE(HasLine(log, L"[8/14] Firewall...")) << "the firewall option was turned off";
    EXPECT_FALSE(HasLine(log, L"[13/14] Kısayollar...")) << "the shortcut option was turned off";
    ExpectNoError(log);
}

TEST(SilentInstall, ApplicationOnDDatabaseOnENoRulesNoShortcut) {
    ASSERT_EQ(kOrtak, L"E:\\CorvaneOrtakData");
    const std::wstring payload = Payload(L"1.0.0");
    ExpectSameFiles(payload, kInstall, AppEntry);
    ExpectSameFiles(payload + L"\\mariadb", kOrtak + L"\\mariadb");
    EXPECT_FALSE(DirectoryExists(L"D:\\CorvaneOrtakData"));
    ExpectDatabaseService();
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(FirewallRules().empty());
    EXPECT_FALSE(FileExists(Desktop() + L"\\Corvane Market Pos.lnk"));
    EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation"), kInstall);
    EXPECT_FALSE(ProcessRunning(L"CorvaneZideroZUR.exe")) << "nobody is there to use it";
    ExpectTempFolderGone();
}

// --- the uninstaller ----------------------------------------------------------------------------

// Paths the system deletes at the next restart (PendingFileRenameOperations: source, then an
// empty target, for each).
TLines PendingDeletes() {
    TLines out;
    wchar_t buf[32768] = {};
    DWORD bytes = sizeof buf - 2 * sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, buf,
                     &bytes) != ERROR_SUCCESS)
        return out;
    // Each deletion is a path and an empty target: walk the whole value, not to the first empty.
    const wchar_t* end = buf + bytes / sizeof(wchar_t);
    for (const wchar_t* p = buf; p < end; p += wcslen(p) + 1) {
        std::wstring path = p;
        if (path.empty())
            continue;
        if (Starts(path, L"\\??\\"))
            path = path.substr(4);
        out.push_back(path);
    }
    return out;
}

bool Pending(const std::wstring& suffix) {
    for (const auto& p : PendingDeletes())
        if (p.size() >= suffix.size() &&
            _wcsicmp(p.c_str() + p.size() - suffix.size(), suffix.c_str()) == 0)
            return true;
    return false;
}

// The log file of a run: UTF-8 with a byte-order mark, every line ended by CR LF.
TLines LogFile(const std::wstring& name) {
    std::string bytes = FileBytes(Scenario(name));
    EXPECT_NE(bytes, "<missing>") << Narrow(name);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    bytes = bytes.substr(std::min<size_t>(3, bytes.size()));
    EXPECT_TRUE(bytes.size() >= 2 && bytes.substr(bytes.size() - 2) == "\r\n");
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'),
              std::count(bytes.begin(), bytes.end(), '\r'))
        << "every line ends in CR LF";
    return Untimed(SplitLines(Widen(bytes)));
}

int Number(const std::wstring& name) {
    return std::atoi(FileBytes(Scenario(name)).c_str());
}

// Nothing of the application is left: service, entry, shortcut, its firewall rule, its folders.
void ExpectApplicationGone() {
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), 0u);
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_FALSE(FileExists(Desktop() + L"\\Corvane Market Pos.lnk"));
    const TLines rules = FirewallRules();
    EXPECT_EQ(std::count(rules.begin(), rules.end(), L"CorvaneMarketSync"), 0);
    EXPECT_FALSE(DirectoryExists(kInstall));
    EXPECT_FALSE(DirectoryExists(kBackup));
    EXPECT_FALSE(ProcessRunning(L"CorvaneZideroZUR.exe"));
    EXPECT_FALSE(ProcessRunning(L"CorvaneMarketServer.exe"));
}

const TLines kRemovalSteps = {L"[1/7] Programlar kapatılıyor...",
                              L"[2/7] CorvaneMarketService kaldırılıyor...",
                              L"[3/7] Güvenlik duvarı kuralı siliniyor...",
                              L"[4/7] Masaüstü kısayolu siliniyor...",
                              L"[5/7] Kurulum klasörü siliniyor...",
                              L"[6/7] Güncelleme yedeği siliniyor...",
                              L"[7/7] Program Ekle/Kaldır kaydı siliniyor..."};

TEST(Uninstall, StartedFromTheUninstallEntryItAsksAndRemovesTheApplication) {
    EXPECT_EQ(FileBytes(Scenario(L"uninstall-string.txt")),
              Narrow(kInstall + L"\\Uninstall Corvane Market Pos.exe\n"));
    const auto question = Controls(L"question.txt");
    ExpectShown(question, L"Corvane Market Pos bu bilgisayardan kaldırılsın mı?");
    const TControl* box =
        FindControl(question, L"Veritabanı sunucusunu (CorvaneDB) ve tüm verilerini de kaldır");
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->Visible && !box->Checked) << "the database box starts unticked";
    ExpectShown(Controls(L"page.txt"), L"Corvane Market Pos başarıyla kaldırıldı.");
    const TLines memo = Memo();
    TLines expected = {kSeparator, L"Corvane Market Pos Kaldırma", L"Kurulum klasörü: " + kInstall,
                       L"Veritabanı: korunuyor", kSeparator};
    expected.insert(expected.end(), kRemovalSteps.begin(), kRemovalSteps.end());
    expected.insert(expected.end(),
                    {L"", kSeparator, L"KALDIRMA BAŞARIYLA TAMAMLANDI", kSeparator});
    ExpectInOrder(memo, expected);
    EXPECT_TRUE(HasLine(memo, L"  Silindi: " + kInstall)) << Narrow(Joined(memo));
    EXPECT_TRUE(HasLine(memo, L"  Silindi: " + kBackup)) << Narrow(Joined(memo));
    // The program started waited for the removal and its copy's code; its own file went after.
    EXPECT_TRUE(FileExists(Scenario(L"original-waiting.txt"))) << "ended before the removal";
    EXPECT_EQ(FileBytes(Scenario(L"original-exit.txt")), "0\n");
    ExpectInOrder(memo, {L"[5/7] Kurulum klasörü siliniyor...",
                         L"  Kaldırma programı kapanınca silinecek: " + kInstall +
                             L"\\Uninstall Corvane Market Pos.exe",
                         L"[7/7] Program Ekle/Kaldır kaydı siliniyor...",
                         L"Kurulum klasörünün kalanı siliniyor...", L"  Silindi: " + kInstall});
    // The log file holds what the window showed, and the exit code.
    const TLines file = LogFile(L"logfile.txt");
    ExpectInOrder(file, memo);
    EXPECT_EQ(file.back(), L"Çıkış kodu: 0 (kaldırıldı)");
}

TEST(Uninstall, ApplicationGoneDatabaseUntouched) {
    ExpectApplicationGone();
    ExpectDatabaseService();
    EXPECT_EQ(FirewallRules(), (TLines{L"CorvaneDB"}));
    ExpectSameTree(Scenario(L"ortak-before"), kOrtak);
    // It ran from a copy of its own, which goes at the next restart.
    EXPECT_TRUE(Pending(L"\\Uninstall Corvane Market Pos.exe")) << "no copy due at the restart";
}

TEST(Reinstall, NewInstallationTakesTheExistingDatabase) {
    const TLines log = Memo();
    ExpectInOrder(log, {L"  [klasor] mariadb -> atlandı (CorvaneDB çalışıyor)",
                        L"[6/14] MariaDB init...",
                        L"  CorvaneDB zaten çalışıyor - MariaDB init atlanıyor",
                        L"[7/14] CorvaneDB servisi...",
                        L"  CorvaneDB servisi zaten CorvaneOrtakData yolunda kurulu", kSeparator,
                        L"KURULUM BAŞARIYLA TAMAMLANDI"});
    ExpectNoError(log);
    const std::wstring before = Scenario(L"ortak-before");
    EXPECT_EQ(FileBytes(kOrtak + L"\\Data\\corvaneposdb\\satis.dat"),
              FileBytes(before + L"\\Data\\corvaneposdb\\satis.dat"));
    EXPECT_EQ(FilesUnder(kOrtak + L"\\Data\\mysql"), FilesUnder(before + L"\\Data\\mysql"));
    ExpectDatabaseService();
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(KeyExists(kUninstallKey));
}

TEST(UninstallAll, DatabaseBoxAskedOnceMoreAndEverythingIsGone) {
    const std::wstring box = Widen(FileBytes(Scenario(L"confirm.txt")));
    EXPECT_NE(box.find(L"Veritabanı sunucusu CorvaneDB durdurulup silinecek ve " + kOrtak +
                       L" klasöründeki tüm veriler (satış verileri dahil) silinecek.\\n\\nBu "
                       L"işlem geri alınamaz!"),
              std::wstring::npos)
        << Narrow(box);
    const TControl* ticked =
        FindControl(Controls(L"question.txt"),
                    L"Veritabanı sunucusunu (CorvaneDB) ve tüm verilerini de kaldır");
    ASSERT_TRUE(ticked);
    EXPECT_TRUE(ticked->Checked);
    // /VERITABANI asked first; its default answer kept the box unticked.
    const TControl* declined =
        FindControl(Controls(L"switch-declined.txt"),
                    L"Veritabanı sunucusunu (CorvaneDB) ve tüm verilerini de kaldır");
    ASSERT_TRUE(declined);
    EXPECT_FALSE(declined->Checked);
    EXPECT_EQ(FileBytes(Scenario(L"original-exit.txt")), "0\n");
    const TLines memo = Memo();
    ExpectInOrder(memo, {L"Veritabanı: " + kOrtak + L" (kaldırılacak)",
                         L"[7/8] CorvaneDB ve veritabanı kaldırılıyor...", L"  Silindi: " + kOrtak,
                         L"[8/8] Program Ekle/Kaldır kaydı siliniyor...",
                         L"KALDIRMA BAŞARIYLA TAMAMLANDI"});
    ExpectApplicationGone();
    EXPECT_EQ(ServiceState(L"CorvaneDB"), 0u);
    EXPECT_FALSE(ServerAnswers(3307));
    EXPECT_FALSE(DirectoryExists(kOrtak));
    EXPECT_TRUE(FirewallRules().empty());
}

TEST(Silent, HeldFilesAndAStubbornServiceEndInTimeWithExitCode1603) {
    EXPECT_TRUE(FileExists(Scenario(L"till-running.txt")));
    EXPECT_EQ(Number(L"exit-1.txt"), 1603 & 0xFF) << "Wine passes the low byte on";
    // The service's 30 s wait and the kill after it, but no unbounded wait.
    EXPECT_GE(Number(L"seconds-1.txt"), 30);
    EXPECT_LE(Number(L"seconds-1.txt"), 180);
    const TLines log = LogFile(L"log-1.txt");
    ExpectInOrder(
        log,
        {L"Uninstall Corvane Market Pos: *", L"Veritabanı: korunuyor",
         L"[1/7] Programlar kapatılıyor...", L"  > taskkill /F /IM CorvaneZideroZUR.exe",
         L"    CorvaneZideroZUR.exe kapandı (*", L"    ! Servis 30sn içinde durmadı",
         L"  ! UYARI: CorvaneMarketService durdurulamadı - CorvaneMarketServer.exe "
         L"sonlandırılıyor",
         L"    Servis silindi (*",
         L"  ! Kilitli, yeniden başlatmada silinecek: " + kInstall + L"\\CorvaneReports.dll - *",
         L"  ! Kaldırma tamamlanmadı - kayıt bırakıldı, tekrar çalıştırılabilir",
         L"KALDIRMA TAMAMLANAMADI - yapılamayanlar:",
         L"  - Kilitli, yeniden başlatmada silinecek: *", kSeparator, L"Çıkış kodu: 1603 (hata)"});
    EXPECT_TRUE(Pending(kInstall + L"\\CorvaneReports.dll"));
}

TEST(Silent, SecondRunRemovesWhatWasLeftAndAThirdFindsNothingToDo) {
    EXPECT_EQ(Number(L"exit-2.txt"), 0);
    const TLines second = LogFile(L"log-2.txt");
    ExpectInOrder(second, {L"Kurulum klasörü: " + kInstall, L"  CorvaneMarketService kurulu değil",
                           L"  Silindi: " + kInstall, L"KALDIRMA BAŞARIYLA TAMAMLANDI",
                           L"Çıkış kodu: 0 (kaldırıldı)"});
    EXPECT_EQ(Number(L"exit-3.txt"), 0);
    const TLines third = LogFile(L"log-3.txt");
    ExpectInOrder(third, {L"Kurulum klasörü: (bulunamadı)", L"  CorvaneZideroZUR.exe çalışmıyor",
                          L"  CorvaneMarketService kurulu değil", L"  Kısayol yok",
                          L"  Kurulum klasörü yok", L"  Yedek yok", L"  Kayıt yok",
                          L"KALDIRMA BAŞARIYLA TAMAMLANDI", L"Çıkış kodu: 0 (kaldırıldı)"});
    EXPECT_EQ(IndexOf(third, L"  ! ", 0, true), -1) << Narrow(Joined(third));
    ExpectApplicationGone();
    // Silent runs never remove the database.
    ExpectDatabaseService();
    EXPECT_TRUE(DirectoryExists(kOrtak + L"\\Data\\mysql"));
}

} // namespace
