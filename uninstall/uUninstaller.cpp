// The removal steps, in the order that frees each piece before the next needs it: programs end
// before their files go, services go before their folders, the uninstall entry goes last so
// that an interrupted run can still be started again from the list of programs.
#include "uUninstaller.h"

#include <algorithm>
#include <string>

#include "uEngineRules.h"
#include "uHeldFolder.h"
#include "uWinHandles.h"
#include "uFileUtil.h"
#include "uInstallation.h"
#include "uUiSystem.h"

namespace {

const wchar_t* const kAppService = L"CorvaneMarketService";
const wchar_t* const kAppServer = L"CorvaneMarketServer.exe";
const wchar_t* const kDbService = L"CorvaneDB";
const wchar_t* const kDbServer = L"mariadbd.exe";
const wchar_t* const kPrograms[] = {L"CorvaneZideroZUR.exe", L"TarvikBridge.exe",
                                    L"OmnelBridge.exe"};

// The folder is the one its rules name, whatever the letter case of the drive and the name.
bool NamedFolder(const std::wstring& dir, const wchar_t* name) {
    return !dir.empty() && !EngineRules::DrivePart(dir).empty() &&
           EngineRules::SameTextAscii(EngineRules::ExtractFileName(dir), name);
}

// INSTALL_DIR of backup.info (UTF-8 with a byte-order mark) in the held backup folder, or empty.
std::wstring BackupOwner(HANDLE backupDir) {
    DWORD error = 0;
    TWinHandle file = OpenToReadInHeld(backupDir, L"backup.info", error);
    if (!file)
        return std::wstring();
    char buf[4096];
    DWORD got = 0;
    if (!ReadFile(file.Get(), buf, sizeof buf, &got, nullptr))
        return std::wstring();
    const std::string text(buf, got);
    const std::string key = "INSTALL_DIR=";
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return std::wstring();
    const size_t from = at + key.size();
    const std::string value = text.substr(from, text.find_first_of("\r\n", from) - from);
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), wide.data(), n);
    return wide;
}

} // namespace

DWORD TRemovalSystem::DeleteOneFile(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) ? ERROR_SUCCESS : GetLastError();
}

DWORD TRemovalSystem::DeleteOpened(HANDLE h) {
    return DeleteHeld(h);
}

bool TRemovalSystem::ProtectFolder(HANDLE folder) {
    return ProtectHeld(folder);
}

DWORD TRemovalSystem::ScheduleDeleteAtRestart(const std::wstring& path) {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? ERROR_SUCCESS
                                                                           : GetLastError();
}

DWORD TRemovalSystem::DeleteUninstallKey() {
    return static_cast<DWORD>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Installation::UNINSTALL_KEY));
}

std::wstring CopyCommandLine(const std::wstring& copy, DWORD parentPid,
                             const std::wstring& handOver, const std::wstring& originalDir,
                             bool silent, const std::wstring& logPath, bool removeDatabase) {
    std::vector<std::wstring> args = {copy, L"/_kopya=" + std::to_wstring(parentPid)};
    if (!handOver.empty())
        args.push_back(L"/_devir=" + handOver);
    args.push_back(L"/_dizin=" + originalDir);
    if (silent)
        args.push_back(L"/S");
    if (removeDatabase)
        args.push_back(L"/VERITABANI");
    if (!logPath.empty())
        args.push_back(L"/LOG=" + logPath);
    return JoinArguments(args);
}

int ExitCodeOf(TUninstaller::TResult result) {
    return result == TUninstaller::TResult::Success          ? EXIT_REMOVED
           : result == TUninstaller::TResult::Failed         ? EXIT_FAILED
           : result == TUninstaller::TResult::RestartPending ? EXIT_RESTART_PENDING
                                                             : EXIT_CANCELLED;
}

TUninstallPlan ResolvePlan(const std::wstring& ownDir, const std::wstring& recordedInstallDir,
                           const std::wstring& dbServiceDir, const std::wstring& desktopDir) {
    TUninstallPlan plan;
    if (NamedFolder(ownDir, L"CorvaneZideroZur"))
        plan.InstallDir = ownDir;
    else if (NamedFolder(recordedInstallDir, L"CorvaneZideroZur"))
        plan.InstallDir = recordedInstallDir;
    if (!plan.InstallDir.empty())
        plan.BackupDir = Installation::BackupDir(plan.InstallDir);
    if (NamedFolder(dbServiceDir, L"CorvaneOrtakData"))
        plan.SharedDataDir = dbServiceDir;
    else if (!plan.InstallDir.empty())
        plan.SharedDataDir = EngineRules::OrtakDataDir(L"", plan.InstallDir);
    if (!desktopDir.empty())
        plan.DesktopLink = desktopDir + L"\\Corvane Market Pos.lnk";
    return plan;
}

TUninstaller::TUninstaller(THost& host, TRemovalSystem& system, TLogSink log)
    : FHost(host), FSystem(system), FLog(std::move(log)) {}

void TUninstaller::Log(const std::wstring& msg) const {
    if (FLog)
        FLog(msg);
}

void TUninstaller::Fail(const std::wstring& what) {
    Log(L"  ! " + what);
    FFailures.push_back(what);
}

TUninstaller::TResult TUninstaller::Run(const TUninstallPlan& plan, const TCancelled& cancelled) {
    FFailures.clear();
    FScheduled.clear();
    FPending = 0;
    FOwnFile = plan.OwnFile;
    FOwnFolders.clear();
    FOwnFolderPaths.clear();
    struct TStep {
        std::wstring Title;
        std::function<void()> Body;
    };
    std::vector<TStep> steps = {
        {L"Programlar kapatılıyor...", [this] { EndPrograms(); }},
        {L"CorvaneMarketService kaldırılıyor...",
         [this] { RemoveService(kAppService, kAppServer); }},
        {L"Güvenlik duvarı kuralı siliniyor...",
         [this] { DeleteFirewallRule(L"CorvaneMarketSync"); }},
        {L"Masaüstü kısayolu siliniyor...", [&] { DeleteShortcut(plan.DesktopLink); }},
        {L"Kurulum klasörü siliniyor...", [&] { RemoveInstallFolder(plan.InstallDir); }},
        {L"Güncelleme yedeği siliniyor...",
         [&] {
             RemoveBackup(plan.BackupDir, plan.InstallDir, false);
             // What an update interrupted by a power cut leaves beside it.
             if (!plan.BackupDir.empty())
                 for (const wchar_t* suffix : {L".yeni", L".onceki"})
                     if (DirectoryExists(plan.BackupDir + suffix))
                         RemoveBackup(plan.BackupDir + suffix, plan.InstallDir, true);
         }},
    };
    if (plan.RemoveDatabase)
        steps.push_back({L"CorvaneDB ve veritabanı kaldırılıyor...", [&] {
                             const size_t before = FFailures.size();
                             RemoveService(kDbService, kDbServer);
                             DeleteFirewallRule(kDbService);
                             // A server still running would write into what is being deleted.
                             if (FFailures.size() == before)
                                 RemoveSharedData(plan.SharedDataDir);
                             else
                                 Log(L"  ! CorvaneDB kaldırılamadı - veritabanı klasörü "
                                     L"bırakıldı: " +
                                     plan.SharedDataDir);
                         }});
    steps.push_back(
        {L"Program Ekle/Kaldır kaydı siliniyor...", [this] { DeleteUninstallEntry(); }});

    Log(SEPARATOR_LINE);
    Log(L"Corvane Market Pos Kaldırma");
    Log(L"Kurulum klasörü: " + (plan.InstallDir.empty() ? L"(bulunamadı)" : plan.InstallDir));
    Log(plan.RemoveDatabase ? L"Veritabanı: " + plan.SharedDataDir + L" (kaldırılacak)"
                            : L"Veritabanı: korunuyor");
    Log(SEPARATOR_LINE);
    const std::wstring total = std::to_wstring(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        if (cancelled && cancelled()) {
            Log(L"");
            Log(SEPARATOR_LINE);
            Log(L"KALDIRMA İPTAL EDİLDİ");
            Log(SEPARATOR_LINE);
            return TResult::Cancelled;
        }
        if (FStepSink)
            FStepSink(static_cast<int>(i + 1), static_cast<int>(steps.size()));
        Log(L"[" + std::to_wstring(i + 1) + L"/" + total + L"] " + steps[i].Title);
        const size_t before = FFailures.size();
        FStepWarned = false;
        steps[i].Body();
        if (FFailures.size() == before && !FStepWarned)
            Log(L"  OK");
    }
    // The program that waits for this run learns its result now: what is left of its own file
    // goes after it, as a file due at the restart at worst, which changes nothing of the code.
    const TResult result = Outcome();
    if (FHandOver) {
        FHandOver(result);
        RemoveOwnFile();
    }
    Log(L"");
    Log(SEPARATOR_LINE);
    if (!FScheduled.empty())
        Log(L"Yeniden başlatmada silinecek: " + std::to_wstring(FScheduled.size()) +
            L" dosya/klasör");
    if (FFailures.empty()) {
        Log(L"KALDIRMA BAŞARIYLA TAMAMLANDI");
    } else {
        Log(L"KALDIRMA TAMAMLANAMADI - yapılamayanlar:");
        for (const auto& f : FFailures)
            Log(L"  - " + f);
    }
    Log(SEPARATOR_LINE);
    return result;
}

TUninstaller::TResult TUninstaller::Outcome() const {
    if (FFailures.empty())
        return TResult::Success;
    return OnlyRestartLeft() ? TResult::RestartPending : TResult::Failed;
}

void TUninstaller::EndPrograms() {
    for (const wchar_t* program : kPrograms)
        if (!EndProgram(program))
            Fail(std::wstring(program) + L" kapatılamadı");
}

// True when the program does not run (any more).
bool TUninstaller::EndProgram(const std::wstring& exeName) {
    if (!FHost.IsProcessRunning(exeName)) {
        Log(L"  " + exeName + L" çalışmıyor");
        return true;
    }
    FHost.RunCmd(L"taskkill /F /IM " + exeName, 5000);
    return FHost.WaitProcessExit(exeName, 10);
}

void TUninstaller::RemoveService(const std::wstring& service, const std::wstring& program) {
    if (FHost.RunCmd(L"sc query " + service, 5000) != 0) {
        Log(L"  " + service + L" kurulu değil");
    } else {
        if (!FHost.StopServiceWait(service, 30)) {
            // A service that ignores the stop request still holds its program's files.
            Log(L"  ! UYARI: " + service + L" durdurulamadı - " + program + L" sonlandırılıyor");
            FHost.RunCmd(L"taskkill /F /IM " + program, 5000);
            FHost.WaitProcessExit(program, 15);
        }
        if (!FHost.DeleteServiceWait(service, 15))
            Fail(service + L" servisi silinemedi");
    }
    // Started by hand, the program would keep its folder locked all the same.
    if (FHost.IsProcessRunning(program) && !EndProgram(program))
        Fail(program + L" kapatılamadı");
}

void TUninstaller::DeleteFirewallRule(const std::wstring& rule) {
    // A machine without the rule answers with an error: nothing left to do either way.
    FHost.RunCmd(L"netsh advfirewall firewall delete rule name=\"" + rule + L"\"", 3000);
}

void TUninstaller::DeleteShortcut(const std::wstring& link) {
    if (link.empty() || !FileExists(link)) {
        Log(L"  Kısayol yok");
        return;
    }
    const DWORD error = FSystem.DeleteOneFile(link);
    if (error != ERROR_SUCCESS)
        Fail(L"Kısayol silinemedi: " + link + L" - " + SysErrorMessage(error));
    else
        Log(L"  Silindi: " + link);
}

void TUninstaller::RemoveInstallFolder(const std::wstring& dir) {
    if (dir.empty() || !DirectoryExists(dir)) {
        Log(L"  Kurulum klasörü yok" + (dir.empty() ? std::wstring() : L": " + dir));
        return;
    }
    RemoveTree(dir);
}

void TUninstaller::RemoveBackup(const std::wstring& backupDir, const std::wstring& installDir,
                                bool strict) {
    if (backupDir.empty() || !DirectoryExists(backupDir)) {
        Log(L"  Yedek yok");
        return;
    }
    std::wstring why;
    TWinHandle top = OpenHeldFolder(backupDir, true, why);
    if (!top) {
        Fail(L"Silinmedi: " + backupDir + L" - " + why);
        return;
    }
    // The backup folder sits at the drive's root: another installation on the same drive may
    // own it.
    const std::wstring owner = BackupOwner(top.Get());
    if (strict ? !EngineRules::SameTextAscii(owner, installDir)
               : !owner.empty() && !EngineRules::SameTextAscii(owner, installDir)) {
        Log(owner.empty() ? L"  Yedeğin sahibi belli değil (" + backupDir + L") - bırakıldı"
                          : L"  Yedek başka bir kuruluma ait (" + owner + L") - bırakıldı");
        return;
    }
    RemoveTree(backupDir, top.Get());
}

void TUninstaller::RemoveSharedData(const std::wstring& dir) {
    if (dir.empty() || !DirectoryExists(dir)) {
        Log(L"  Veritabanı klasörü yok" + (dir.empty() ? std::wstring() : L": " + dir));
        return;
    }
    std::wstring why;
    TWinHandle top = OpenHeldFolder(dir, true, why);
    if (!top) {
        Fail(L"Silinmedi: " + dir + L" - " + why);
        return;
    }
    // What goes, for whoever reads the log after a till was taken out of service.
    std::vector<THeldEntry> entries;
    ListHeldFolder(top.Get(), entries);
    std::sort(entries.begin(), entries.end(),
              [](const THeldEntry& a, const THeldEntry& b) { return a.Name < b.Name; });
    std::wstring names;
    for (const THeldEntry& e : entries)
        names += (names.empty() ? L"" : L", ") + e.Name;
    Log(L"  Veritabanı klasörü siliniyor: " + dir + L" (" + names + L")");
    RemoveTree(dir, top.Get());
}

void TUninstaller::DeleteUninstallEntry() {
    // After a failure the entry stays: its InstallLocation leads a second run to what is left.
    // What only waits for the restart needs no second run, and detection must see the product
    // gone.
    if (!FFailures.empty() && !OnlyRestartLeft()) {
        Log(L"  ! Kaldırma tamamlanmadı - kayıt bırakıldı, tekrar çalıştırılabilir");
        FStepWarned = true;
        return;
    }
    const DWORD error = FSystem.DeleteUninstallKey();
    if (error == ERROR_FILE_NOT_FOUND)
        Log(L"  Kayıt yok");
    else if (error != ERROR_SUCCESS)
        Fail(L"Program Ekle/Kaldır kaydı silinemedi - " + SysErrorMessage(error));
}

// A file the system refuses to delete now goes at the next restart; until then it is not
// removed, so it counts as a failure, except this program's own starting file. The path is
// resolved again at the restart: every folder on it is a plain folder held by this run, and
// is protected first so that nobody can swap one for a link before then.
void TUninstaller::DeleteLater(const std::wstring& path, DWORD error,
                               const std::vector<HANDLE>& folders) {
    bool protectedPath = true;
    for (HANDLE folder : folders)
        protectedPath = FSystem.ProtectFolder(folder) && protectedPath;
    if (!protectedPath || FSystem.ScheduleDeleteAtRestart(path) != ERROR_SUCCESS) {
        Fail(L"Silinemedi: " + path + L" - " + SysErrorMessage(error));
        return;
    }
    FScheduled.push_back(path);
    // This program's starting file, and the folders that hold it, go once it has ended.
    const bool own =
        !FOwnFile.empty() && (EngineRules::SameTextAscii(path, FOwnFile) ||
                              (FOwnFile.size() > path.size() && FOwnFile[path.size()] == L'\\' &&
                               EngineRules::SameTextAscii(FOwnFile.substr(0, path.size()), path)));
    if (own) {
        Log(L"  Yeniden başlatmada silinecek: " + path);
    } else {
        Fail(L"Kilitli, yeniden başlatmada silinecek: " + path + L" - " + SysErrorMessage(error));
        ++FPending;
    }
}

void TUninstaller::RemoveTree(const std::wstring& dir, HANDLE heldTop) {
    TWinHandle opened;
    if (!heldTop) {
        std::wstring why;
        opened = OpenHeldFolder(dir, true, why);
        if (!opened) {
            // A link or a folder someone else made: nothing behind it is ours to delete.
            Fail(L"Silinmedi: " + dir + L" - " + why);
            return;
        }
        heldTop = opened.Get();
    }
    const size_t scheduledBefore = FScheduled.size();
    const size_t failedBefore = FFailures.size();
    std::vector<HANDLE> chain;
    std::vector<std::wstring> chainPaths;
    // Depth first, so that every folder is empty by the time its own turn comes. Each entry is
    // opened relative to its folder's handle and never through a link.
    std::function<void(HANDLE, const std::wstring&)> walk = [&](HANDLE folder,
                                                                const std::wstring& path) {
        chain.push_back(folder);
        chainPaths.push_back(path);
        std::vector<THeldEntry> entries;
        ListHeldFolder(folder, entries);
        for (const THeldEntry& e : entries) {
            const std::wstring child = path + L"\\" + e.Name;
            DWORD error = ERROR_SUCCESS;
            if (e.IsFolder && !e.IsLink) {
                TWinHandle sub = OpenInHeld(folder, e.Name, true, error);
                if (sub && !HandleIsLink(sub.Get())) {
                    walk(sub.Get(), child);
                    continue;
                }
                if (sub) // became a link since the listing: it goes as a link
                    sub.Reset();
            }
            // The waiting starting program holds its file: it goes after the hand-over,
            // through the folders held until then.
            if (FHandOver && !e.IsFolder && !e.IsLink && FOwnFolders.empty() &&
                EngineRules::SameTextAscii(child, FOwnFile)) {
                bool held = true;
                for (HANDLE f : chain) {
                    HANDLE dup = nullptr;
                    held = DuplicateHandle(GetCurrentProcess(), f, GetCurrentProcess(), &dup, 0,
                                           FALSE, DUPLICATE_SAME_ACCESS) &&
                           held;
                    FOwnFolders.emplace_back(dup);
                }
                if (held) {
                    FOwnFolderPaths = chainPaths;
                    Log(L"  Kaldırma programı kapanınca silinecek: " + child);
                    continue;
                }
                FOwnFolders.clear();
            }
            // A link goes as a link: what it points to is not ours. A handle that does not
            // show the link itself (Wine follows links) is never used to delete.
            TWinHandle h = OpenInHeld(folder, e.Name, false, error);
            if (h && e.IsLink && !HandleIsLink(h.Get())) {
                Fail(L"Bağlantı silinemedi: " + child);
                continue;
            }
            if (h)
                error = FSystem.DeleteOpened(h.Get());
            if (error != ERROR_SUCCESS && !e.IsLink)
                DeleteLater(child, error, chain);
            else if (error != ERROR_SUCCESS)
                Fail(L"Bağlantı silinemedi: " + child + L" - " + SysErrorMessage(error));
        }
        chain.pop_back();
        chainPaths.pop_back();
        if (OwnFileUnder(path))
            return; // after the hand-over
        const DWORD error = FSystem.DeleteOpened(folder);
        if (error == ERROR_SUCCESS)
            return;
        // A folder that still holds a file due at the restart goes right after that file.
        if (FScheduled.size() > scheduledBefore) {
            bool ok = true;
            for (HANDLE f : chain)
                ok = FSystem.ProtectFolder(f) && ok;
            if (ok && FSystem.ScheduleDeleteAtRestart(path) == ERROR_SUCCESS) {
                FScheduled.push_back(path);
                return;
            }
        }
        if (FFailures.size() == failedBefore)
            Fail(L"Klasör silinemedi: " + path + L" - " + SysErrorMessage(error));
    };
    walk(heldTop, dir);
    if (FScheduled.size() == scheduledBefore && FFailures.size() == failedBefore &&
        !OwnFileUnder(dir))
        Log(L"  Silindi: " + dir);
}

bool TUninstaller::OwnFileUnder(const std::wstring& dir) const {
    for (const std::wstring& p : FOwnFolderPaths)
        if (EngineRules::SameTextAscii(p, dir))
            return true;
    return false;
}

bool TUninstaller::ScheduledUnder(const std::wstring& dir) const {
    for (const std::wstring& p : FScheduled)
        if (p.size() > dir.size() && p[dir.size()] == L'\\' &&
            EngineRules::SameTextAscii(p.substr(0, dir.size()), dir))
            return true;
    return false;
}

void TUninstaller::RemoveOwnFile() {
    if (FOwnFolders.empty())
        return;
    Log(L"Kurulum klasörünün kalanı siliniyor...");
    std::vector<HANDLE> chain;
    for (const TWinHandle& f : FOwnFolders)
        chain.push_back(f.Get());
    // Listed again: what is at the name now may be a link, which goes as a link or not at all.
    const std::wstring name = EngineRules::ExtractFileName(FOwnFile);
    std::vector<THeldEntry> entries;
    ListHeldFolder(chain.back(), entries);
    DWORD error = ERROR_SUCCESS;
    for (const THeldEntry& e : entries) {
        if (!EngineRules::SameTextAscii(e.Name, name))
            continue;
        TWinHandle own = OpenInHeld(chain.back(), e.Name, false, error);
        if (own && e.IsLink && !HandleIsLink(own.Get()))
            Fail(L"Bağlantı silinemedi: " + FOwnFile);
        else if (own)
            error = FSystem.DeleteOpened(own.Get());
        if (error != ERROR_SUCCESS)
            DeleteLater(FOwnFile, error, chain);
    }
    // Innermost first: each folder goes when its handle closes, before its parent is asked.
    for (size_t i = FOwnFolders.size(); i-- > 0;) {
        const std::wstring& path = FOwnFolderPaths[i];
        error = FSystem.DeleteOpened(FOwnFolders[i].Get());
        FOwnFolders[i].Reset();
        chain.pop_back();
        if (error == ERROR_SUCCESS) {
            if (i == 0)
                Log(L"  Silindi: " + path);
            continue;
        }
        // A folder that still holds a file due at the restart goes right after that file.
        bool ok = ScheduledUnder(path);
        for (HANDLE f : chain)
            ok = ok && FSystem.ProtectFolder(f);
        if (ok && FSystem.ScheduleDeleteAtRestart(path) == ERROR_SUCCESS)
            FScheduled.push_back(path);
        else if (FFailures.empty()) // otherwise what keeps it is reported already
            Fail(L"Klasör silinemedi: " + path + L" - " + SysErrorMessage(error));
    }
    FOwnFolders.clear();
    FOwnFolderPaths.clear();
}
