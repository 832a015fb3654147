// Backup store: the backup folder, backup.info and taking the backup before an update.
//
// The store holds one backup. A new backup is taken into a clean folder while the previous one
// waits beside it (CorvaneUpdateYedek.onceki); only once the new backup is complete is the
// previous one deleted. When the previous one cannot be set aside (a file in it held open), the
// new one is taken beside it (CorvaneUpdateYedek.yeni) and put in its place once complete. A
// backup that fails half-way is dropped and the previous one kept, and what a cut-off run left
// is straightened out by the next look at the store: a backup is never mixed with an older one,
// and the last complete backup is never lost.
#include "uSetupEngine.h"

#include <windows.h>

#include "backup/uBackupUtil.h"
#include "uFileUtil.h"
#include "uHardening.h"
#include "uInstallation.h"
#include "uWin32Seam.h"

using namespace BackupUtil;

namespace {

const wchar_t* const kTillProgram = L"CorvaneZideroZUR.exe";
// backup.info is a few lines; anything much larger is not ours and is not read into memory.
const int64_t kMaxInfoBytes = 64 * 1024;
std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                              nullptr, nullptr);
    return out;
}

// The user's time separator (the first character of the regional setting), ':' without one.
wchar_t TimeSeparator() {
    wchar_t buf[8] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, buf, 8) > 1 && buf[0] != L'\0')
        return buf[0];
    return L':';
}

// yyyy-mm-dd hh:nn:ss with the user's time separator in place of each colon.
std::wstring BackupTimestamp() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    const wchar_t sep = TimeSeparator();
    return std::to_wstring(t.wYear) + L"-" + TwoDigits(t.wMonth) + L"-" + TwoDigits(t.wDay) + L" " +
           TwoDigits(t.wHour) + sep + TwoDigits(t.wMinute) + sep + TwoDigits(t.wSecond);
}

// backup.info: UTF-8 with byte-order mark, CR LF after every line. Written under a temporary
// name and flushed, then moved into place with write-through: its presence means "complete
// backup", also after a power cut.
void WriteInfoFile(const std::wstring& dir, const std::vector<std::wstring>& lines) {
    std::string bytes = "\xEF\xBB\xBF";
    for (const auto& line : lines)
        bytes += ToUtf8(line) + "\r\n";
    const std::wstring path = dir + L"\\" + kInfoName;
    const std::wstring temp = dir + L"\\" + kInfoTempName;
    DWORD error = ERROR_SUCCESS;
    if (!WriteDurableFile(temp, bytes, error))
        throw ESetupError(L"Cannot write file \"" + path + L"\". " + SysErrorMessage(error));
    if (!vpfnMoveFileExW(temp.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
        ::DeleteFileW(temp.c_str());
        throw ESetupError(L"Cannot write file \"" + path + L"\". " + SysErrorMessage(error));
    }
}

// Signed 64-bit decimal: optional sign, then digits only, no overflow.
bool ParseInt64(const std::wstring& text, int64_t& value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    if (i == text.size())
        return false;
    uint64_t v = 0;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        const unsigned d = static_cast<unsigned>(text[i] - L'0');
        if (v > (limit - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes, uint64_t& writtenAt) {
    TFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid())
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    writtenAt =
        (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxInfoBytes)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
         got != bytes.size()))
        return false;
    return true;
}

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsLinkAt(const std::wstring& path) {
    const DWORD attrs = ::GetFileAttributesW(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Moves a complete backup from a side folder to the backup folder, discarding what is there.
bool TakePlace(const std::wstring& from, const std::wstring& dir) {
    if (!DiscardBackup(dir) || PathExists(dir))
        return false;
    return vpfnMoveFileExW(from.c_str(), dir.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
}

} // namespace

std::wstring BackupUtil::ReadBackupVersion(const std::wstring& dir) {
    std::string bytes;
    uint64_t writtenAt = 0;
    if (!ReadWholeFile(dir + L"\\" + kVersionName, bytes, writtenAt))
        return std::wstring();
    std::wstring version;
    // Digits and dots only: anything else is not a version this program wrote.
    for (char c : bytes) {
        if (c == '\r' || c == '\n')
            break;
        if ((c < '0' || c > '9') && c != '.')
            return std::wstring();
        version += static_cast<wchar_t>(c);
    }
    return version.size() <= 32 ? version : std::wstring();
}

TBackupInfo BackupUtil::ReadBackupInfo(const std::wstring& dir) {
    TBackupInfo info;
    std::string bytes;
    if (!ReadWholeFile(dir + L"\\" + kInfoName, bytes, info.WrittenAt))
        return info;
    size_t start = 0;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    std::wstring text;
    if (bytes.size() > start) {
        const char* data = bytes.data() + start;
        const int len = static_cast<int>(bytes.size() - start);
        const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, len, nullptr, 0);
        if (n <= 0)
            return info;
        text.resize(n);
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, len, text.data(), n);
    }
    bool hasTarih = false, hasBoyut = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(L"\r\n", pos);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        if (line.rfind(L"TARIH=", 0) == 0) {
            info.Tarih = line.substr(6);
            hasTarih = !info.Tarih.empty();
        } else if (line.rfind(L"BOYUT=", 0) == 0) {
            hasBoyut = ParseInt64(line.substr(6), info.Boyut);
            if (!hasBoyut)
                info.Boyut = 0;
        } else if (line.rfind(L"MOD=", 0) == 0) {
            info.Mod = line.substr(4);
        }
        // CR LF is one line end; a lone CR or LF is one as well.
        pos = end;
        if (pos < text.size() && text[pos] == L'\r') {
            ++pos;
            if (pos < text.size() && text[pos] == L'\n')
                ++pos;
        } else if (pos < text.size()) {
            ++pos;
        }
    }
    info.Read = true;
    const bool ended = !text.empty() && (text.back() == L'\n' || text.back() == L'\r');
    info.Complete = hasTarih && hasBoyut && ended;
    int digits = 0;
    for (wchar_t c : info.Tarih)
        if (c >= L'0' && c <= L'9' && digits < 14) {
            info.Stamp = info.Stamp * 10 + (c - L'0');
            ++digits;
        }
    if (digits != 14)
        info.Stamp = 0;
    return info;
}

bool BackupUtil::FlushTree(const std::wstring& dir,
                           const std::function<void(const std::wstring&)>& log) {
    bool all = true;
    for (const TDirEntry& e : ListEntries(dir + L"\\*")) {
        const std::wstring path = dir + L"\\" + e.Name;
        if (e.IsFolder) {
            if (!e.IsLink)
                all = FlushTree(path, log) && all;
            continue;
        }
        DWORD error = ERROR_SUCCESS;
        if (!FlushFile(path, error)) {
            log(L"    ! " + e.Name + L": " + SysErrorMessage(error));
            all = false;
        }
    }
    return all;
}

bool BackupUtil::IsCompleteBackup(const std::wstring& dir) {
    return DirectoryExists(dir) && ReadBackupInfo(dir).Complete;
}

bool BackupUtil::IsUsableBackup(const std::wstring& dir) {
    return PathExists(dir) && IsTrustedStoreFolder(dir) && IsCompleteBackup(dir);
}

bool BackupUtil::IsTrustedStoreFolder(const std::wstring& dir, std::wstring* why) {
    // The entry itself, never what a link at its name points to.
    TWinHandle folder(::CreateFileW(
        dir.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (IsLinkAt(dir) || (folder.Valid() && ::GetFileInformationByHandle(folder.Get(), &info) &&
                          (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        if (why != nullptr)
            *why = L"baglanti";
        return false;
    }
    if (!folder.Valid()) {
        if (why != nullptr)
            *why = SysErrorMessage(::GetLastError());
        return false;
    }
    bool trusted = false;
    const DWORD err = ReadTrustedOwner(folder.Get(), trusted);
    if (!trusted && why != nullptr)
        *why = err == ERROR_SUCCESS ? L"sahibi yonetici degil" : SysErrorMessage(err);
    return trusted;
}

bool BackupUtil::DiscardBackup(const std::wstring& dir) {
    if (!PathExists(dir))
        return true;
    if (IsLinkAt(dir)) {
        // What it points to is not ours.
        ::RemoveDirectoryW(dir.c_str());
        ::DeleteFileW(dir.c_str());
        return !PathExists(dir);
    }
    for (const wchar_t* name : {kInfoName, kInfoTempName}) {
        const std::wstring path = dir + L"\\" + name;
        if (!PathExists(path))
            continue;
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::DeleteFileW(path.c_str()) && PathExists(path))
            return false;
    }
    DeleteDirRecursive(dir);
    return !PathExists(dir);
}

bool BackupUtil::MoveWithRetry(const std::wstring& from, const std::wstring& to,
                               const std::function<void(int)>& sleep, DWORD& error) {
    const int kMoveAttempts = 3;
    error = ERROR_SUCCESS;
    for (int attempt = 1; attempt <= kMoveAttempts; ++attempt) {
        if (vpfnMoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
            return true;
        error = ::GetLastError();
        if (attempt < kMoveAttempts)
            sleep(500);
    }
    return false;
}

std::wstring BackupUtil::SettleBackup(const std::wstring& dir, std::wstring* note) {
    // The newest complete backup among the store's folders; a folder that is not to be trusted
    // counts as absent.
    std::wstring best;
    TBackupInfo bestInfo;
    bool dirTrusted = true;
    for (const std::wstring& candidate : {dir, dir + kFreshSuffix, dir + kPreviousSuffix}) {
        if (!PathExists(candidate))
            continue;
        std::wstring why;
        if (!IsTrustedStoreFolder(candidate, &why)) {
            if (candidate == dir)
                dirTrusted = false;
            if (note != nullptr)
                *note = L"  ! Yedek klasoru kullanilmadi (" + why + L"): " + candidate;
            continue;
        }
        if (!DirectoryExists(candidate))
            continue;
        const TBackupInfo info = ReadBackupInfo(candidate);
        if (!info.Complete)
            continue;
        if (best.empty() || info.Stamp > bestInfo.Stamp ||
            (info.Stamp == bestInfo.Stamp && info.WrittenAt > bestInfo.WrittenAt)) {
            best = candidate;
            bestInfo = info;
        }
    }
    if (best.empty() || best == dir)
        return dir;
    // An untrusted folder at the backup's own name is never deleted through or moved over here.
    if (!dirTrusted || !TakePlace(best, dir))
        return best;
    if (note != nullptr)
        *note = L"  Yarim kalan guncellemeden yedek yerine konuldu: " + best;
    return dir;
}

std::wstring TSetupEngine::BackupDir() const {
    return Installation::BackupDir(FInstallDir);
}

// All three are asked while no run is active: a backup that a cut-off run left aside is put
// back here, and a restore cut between its two renames is completed, before the welcome page
// decides whether to offer a restore.
bool TSetupEngine::BackupExists() const {
    const std::wstring dir = SettleBackup(BackupDir());
    if (!IsUsableBackup(dir))
        return false;
    ClearRestoreLeftovers(dir, FInstallDir, [](const std::wstring&) {});
    return true;
}

bool TSetupEngine::UpdateInterrupted() const {
    const std::wstring dir = SettleBackup(BackupDir());
    return IsUsableBackup(dir) && FileExists(dir + L"\\" + kUpdateMarkerName);
}

bool TSetupEngine::GetBackupInfo(std::wstring& ATarih, int64_t& ABoyut) const {
    ATarih.clear();
    ABoyut = 0;
    const std::wstring dir = SettleBackup(BackupDir());
    if (!IsTrustedStoreFolder(dir))
        return false;
    const TBackupInfo info = ReadBackupInfo(dir);
    if (!info.Read)
        return false;
    ATarih = info.Tarih;
    ABoyut = info.Boyut;
    return true;
}

void TSetupEngine::CreateBackup() {
    Log(L"[1.5/14] Yedek olusturuluyor...");
    FBackupCreated = false;
    const std::wstring dir = BackupDir();

    // Without the installation folder there is nothing to back up, and an empty "backup" would
    // take the place of the one the user has.
    if (FInstallDir.empty() || !DirectoryExists(FInstallDir))
        throw ESetupError(L"Kurulum dizini bulunamadi: " + FInstallDir);

    const std::wstring previous = dir + kPreviousSuffix;
    const std::wstring fresh = dir + kFreshSuffix;
    std::wstring note;
    const std::wstring place = SettleBackup(dir, &note);
    if (!note.empty())
        Log(note);
    const bool usable = IsUsableBackup(place);
    if (usable)
        ClearRestoreLeftovers(place, FInstallDir, [this](const std::wstring& line) { Log(line); });

    // An update that was cut off while it replaced the installed files left a mix of two
    // versions: a backup of that would replace the only whole one.
    if (usable && FileExists(place + L"\\" + kUpdateMarkerName)) {
        if (FIsFullUpdate && ReadBackupInfo(place).Mod == L"DosyaGuncelleme")
            throw ESetupError(L"Yarim kalan dosya guncellemesi var, yedegi tam guncellemeye "
                              L"yetmez. Once onceki surume geri yukleyin: " +
                              place);
        Log(L"  Yarim kalan guncellemenin yedegi korunuyor: " + place);
        FBackupDir = place;
        FBackupCreated = true;
        return;
    }

    // The complete backup the user has now, if any; every other folder of the store is an
    // incomplete or older one that an interrupted run left behind.
    const std::wstring old = usable ? place : std::wstring();
    if (!old.empty() || DirectoryExists(dir))
        Log(L"  Onceki yedek temizleniyor: " + (old.empty() ? dir : old));
    for (const std::wstring& leftover : {dir, fresh, previous}) {
        if (leftover == old || !PathExists(leftover))
            continue;
        if (!DiscardBackup(leftover))
            Log(L"  Uyari: Onceki yedek silinemedi: " + leftover);
    }

    bool previousAside = false;
    if (old == dir) {
        // A leftover that could not be cleared from where the previous backup would go has
        // been named above; then, and when the move is refused, the previous backup stays
        // whole where it is until the new one is complete beside it.
        DWORD moveError = ERROR_SUCCESS;
        if (!PathExists(previous)) {
            previousAside = MoveWithRetry(
                dir, previous, [this](int ms) { Sleep(ms); }, moveError);
            if (!previousAside)
                Log(L"  Uyari: Onceki yedek silinemedi: " + SysErrorMessage(moveError));
        }
        if (previousAside)
            Sleep(500);
    }
    // The new backup goes into a folder of its own, never over what is left of another.
    std::wstring target;
    for (const std::wstring& candidate : {dir, fresh, previous}) {
        if (candidate != old && !PathExists(candidate)) {
            target = candidate;
            break;
        }
    }
    if (target.empty())
        throw ESetupError(L"Yedek klasoru olusturulamadi: " + dir);

    const std::wstring installPrefix = WithBackslash(FInstallDir);
    const std::wstring backupPrefix = target + L"\\";
    int64_t total = 0;
    try {
        if (!ForceDirectories(target))
            throw ESetupError(L"Yedek klasoru olusturulamadi: " + target);
        FBackupDir = target;

        // Every file of the backup reaches the disk before the previous backup is deleted.
        auto copyIn = [&](const std::wstring& name) {
            CopyOneFile(installPrefix + name, backupPrefix + name);
            DWORD error = ERROR_SUCCESS;
            if (!FlushFile(backupPrefix + name, error))
                throw ESetupError(SysErrorMessage(error));
        };
        auto backupTillProgram = [&] {
            try {
                copyIn(kTillProgram);
            } catch (const ESetupError& e) {
                throw ESetupError(std::wstring(L"CorvaneZideroZUR.exe yedeklenemedi: ") +
                                  e.Message());
            }
            Log(L"  [yedek] CorvaneZideroZUR.exe");
            int64_t size = 0;
            ListedFileSize(backupPrefix + kTillProgram, size);
            total += size;
        };

        if (FIsFullUpdate) {
            Log(L"  [TAM GUNCELLEME] Yedeklenen: exe + masaustu + dll + version.json");
            if (FileExists(installPrefix + kTillProgram))
                backupTillProgram();

            // The pattern also finds folders and, through short names, longer extensions such
            // as ".dllx"; only real top-level libraries belong in the backup.
            for (const TDirEntry& e : ListEntries(installPrefix + L"*.dll")) {
                if (e.IsFolder || !HasExtension(e.Name, L".dll"))
                    continue;
                try {
                    copyIn(e.Name);
                    Log(L"  [yedek] " + e.Name);
                    total += e.Size;
                } catch (const ESetupError& err) {
                    Log(L"  ! " + e.Name + L" yedeklenemedi: " + err.Message());
                }
            }

            for (const wchar_t* name : {L"version.json", L"web_resources.res"}) {
                if (!FileExists(installPrefix + name))
                    continue;
                try {
                    copyIn(name);
                    Log(std::wstring(L"  [yedek] ") + name);
                } catch (const ESetupError& err) {
                    // Reported for both: a file missing from the backup must not go unnoticed.
                    Log(std::wstring(L"  ! ") + name + L" yedeklenemedi: " + err.Message());
                }
            }

            if (DirectoryExists(installPrefix + L"masaustu")) {
                Log(L"  [yedek] masaustu/ klasoru");
                try {
                    CopyDirRecursive(installPrefix + L"masaustu", backupPrefix + L"masaustu");
                    FlushTree(backupPrefix + L"masaustu",
                              [this](const std::wstring& line) { Log(line); });
                } catch (const ESetupError& e) {
                    throw ESetupError(L"masaustu/ klasoru yedeklenemedi: " + e.Message());
                }
                total += GetDirSize(backupPrefix + L"masaustu");
            }
        } else {
            Log(L"  [DOSYA GUNCELLEME] Yedeklenen: CorvaneZideroZUR.exe");
            if (!FileExists(installPrefix + kTillProgram))
                throw ESetupError(L"Yedeklenecek CorvaneZideroZUR.exe bulunamadi: " +
                                  installPrefix + kTillProgram);
            backupTillProgram();
        }

        if (const std::wstring version = Installation::RecordedDisplayVersion(); !version.empty()) {
            DWORD error = ERROR_SUCCESS;
            if (!WriteDurableFile(target + L"\\" + kVersionName, ToUtf8(version) + "\r\n", error))
                throw ESetupError(L"Surum bilgisi yazilamadi: " + SysErrorMessage(error));
        }
        WriteInfoFile(target, {L"TARIH=" + BackupTimestamp(),
                               FIsFullUpdate ? L"MOD=TamGuncelleme" : L"MOD=DosyaGuncelleme",
                               L"INSTALL_DIR=" + FInstallDir, L"BOYUT=" + std::to_wstring(total)});
    } catch (...) {
        if (previousAside) {
            if (TakePlace(previous, dir))
                Log(L"  Onceki yedek geri konuldu: " + dir);
            else
                Log(L"  ! Onceki yedek geri konulamadi, yeri: " + previous);
        } else if (target != dir) {
            // The previous backup never moved; only the unfinished new one goes.
            if (!DiscardBackup(target))
                Log(L"  ! Yarim yedek silinemedi: " + target);
        }
        throw;
    }
    FBackupCreated = true;

    // Outside the backup folder, so nothing of it can be restored by mistake.
    const std::wstring oldNow = previousAside ? previous : old;
    if (!oldNow.empty() && !DiscardBackup(oldNow))
        Log(L"  Uyari: Onceki yedek silinemedi: " + oldNow);
    std::wstring finalDir = target;
    if (target != dir && !PathExists(dir) &&
        vpfnMoveFileExW(target.c_str(), dir.c_str(), MOVEFILE_WRITE_THROUGH))
        finalDir = dir;
    FBackupDir = finalDir;
    Log(L"  Yedek olusturuldu: " + finalDir + L" (" + std::to_wstring(total / kMB) + L" MB)");
}
