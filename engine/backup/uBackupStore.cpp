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
#include "host/uWin32Seam.h"
#include "uFileUtil.h"

using namespace BackupUtil;

namespace {

const wchar_t* const kInfoName = L"backup.info";
const wchar_t* const kTillProgram = L"CorvaneZideroZUR.exe";
// Tries at setting the previous backup aside before the update gives up.
const int kMoveAttempts = 3;
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

// backup.info: UTF-8 with byte-order mark, CR LF after every line. A file that could not be
// written completely is removed, so that its presence keeps meaning "complete backup".
void WriteInfoFile(const std::wstring& path, const std::vector<std::wstring>& lines) {
    std::string bytes = "\xEF\xBB\xBF";
    for (const auto& line : lines)
        bytes += ToUtf8(line) + "\r\n";
    TFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        throw ESetupError(L"Cannot create file \"" + path + L"\". " +
                          SysErrorMessage(::GetLastError()));
    DWORD written = 0;
    const bool wrote = ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                   &written, nullptr) &&
                       written == bytes.size();
    const DWORD writeError = wrote ? ERROR_SUCCESS : ::GetLastError();
    const bool closed = file.Close();
    if (!wrote || !closed) {
        const DWORD err = !wrote ? writeError : ::GetLastError();
        ::DeleteFileW(path.c_str());
        throw ESetupError(L"Cannot write file \"" + path + L"\". " + SysErrorMessage(err));
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

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    TFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
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

// Moves a complete backup from a side folder to the backup folder, clearing what is there.
bool TakePlace(const std::wstring& from, const std::wstring& dir) {
    TSetupEngine::DeleteDirRecursive(dir);
    return !PathExists(dir) && vpfnMoveFileExW(from.c_str(), dir.c_str(), 0);
}

// Moves a folder, trying a few times: a scanner may hold a file in it for a moment.
template <class TSleep>
bool MoveWithRetry(const std::wstring& from, const std::wstring& to, TSleep sleep, DWORD& error) {
    error = ERROR_SUCCESS;
    for (int attempt = 1; attempt <= kMoveAttempts; ++attempt) {
        if (vpfnMoveFileExW(from.c_str(), to.c_str(), 0))
            return true;
        error = ::GetLastError();
        if (attempt < kMoveAttempts)
            sleep(500);
    }
    return false;
}

} // namespace

bool BackupUtil::IsCompleteBackup(const std::wstring& dir) {
    return DirectoryExists(dir) && FileExists(dir + L"\\" + kInfoName);
}

std::wstring BackupUtil::SettleBackup(const std::wstring& dir, std::wstring* note) {
    const std::wstring fresh = dir + kFreshSuffix;
    const std::wstring previous = dir + kPreviousSuffix;
    auto settled = [&](const std::wstring& from) {
        if (!TakePlace(from, dir))
            return from;
        if (note != nullptr)
            *note = L"  Yarim kalan guncellemeden yedek yerine konuldu: " + from;
        return dir;
    };
    // A new backup waits beside the old one only once it is complete: it is the newer.
    if (IsCompleteBackup(fresh))
        return settled(fresh);
    if (IsCompleteBackup(dir))
        return dir;
    // Cut off after the previous backup was set aside and before the new one was complete.
    if (IsCompleteBackup(previous))
        return settled(previous);
    return dir;
}

std::wstring TSetupEngine::BackupDir() const {
    std::wstring drive = DrivePart(FInstallDir);
    if (drive.empty())
        drive = L"C:";
    return drive + L"\\CorvaneUpdateYedek";
}

// Both are asked while no run is active: a backup that a cut-off run left aside is put back
// here, before the welcome page decides whether to offer a restore.
bool TSetupEngine::BackupExists() const {
    return IsCompleteBackup(SettleBackup(BackupDir()));
}

bool TSetupEngine::GetBackupInfo(std::wstring& ATarih, int64_t& ABoyut) const {
    ATarih.clear();
    ABoyut = 0;
    const std::wstring path = SettleBackup(BackupDir()) + L"\\" + kInfoName;
    if (!FileExists(path))
        return false;
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    size_t start = 0;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    std::wstring text;
    if (bytes.size() > start) {
        const char* data = bytes.data() + start;
        const int len = static_cast<int>(bytes.size() - start);
        const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, len, nullptr, 0);
        if (n <= 0)
            return false;
        text.resize(n);
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, len, text.data(), n);
    }
    std::wstring tarih;
    int64_t boyut = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(L"\r\n", pos);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        if (line.rfind(L"TARIH=", 0) == 0) {
            tarih = line.substr(6);
        } else if (line.rfind(L"BOYUT=", 0) == 0) {
            if (!ParseInt64(line.substr(6), boyut))
                boyut = 0;
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
    ATarih = tarih;
    ABoyut = boyut;
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
    ClearRestoreLeftovers(place, FInstallDir, [this](const std::wstring& line) { Log(line); });

    // The complete backup the user has now, if any; every other folder of the store is an
    // incomplete or older one that an interrupted run left behind.
    const std::wstring old = IsCompleteBackup(place) ? place : std::wstring();
    if (!old.empty() || DirectoryExists(dir))
        Log(L"  Onceki yedek temizleniyor: " + (old.empty() ? dir : old));
    for (const std::wstring& leftover : {dir, fresh, previous}) {
        if (leftover == old || !PathExists(leftover))
            continue;
        DeleteDirRecursive(leftover);
        if (PathExists(leftover))
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

        auto backupTillProgram = [&] {
            try {
                CopyOneFile(installPrefix + kTillProgram, backupPrefix + kTillProgram);
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
                    CopyOneFile(installPrefix + e.Name, backupPrefix + e.Name);
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
                    CopyOneFile(installPrefix + name, backupPrefix + name);
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

        WriteInfoFile(backupPrefix + kInfoName,
                      {L"TARIH=" + BackupTimestamp(),
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
            DeleteDirRecursive(target);
            if (PathExists(target))
                Log(L"  ! Yarim yedek silinemedi: " + target);
        }
        throw;
    }
    FBackupCreated = true;

    // Outside the backup folder, so nothing of it can be restored by mistake.
    const std::wstring oldNow = previousAside ? previous : old;
    if (!oldNow.empty()) {
        DeleteDirRecursive(oldNow);
        if (PathExists(oldNow))
            Log(L"  Uyari: Onceki yedek silinemedi: " + oldNow);
    }
    std::wstring finalDir = target;
    if (target != dir && !PathExists(dir) && vpfnMoveFileExW(target.c_str(), dir.c_str(), 0))
        finalDir = dir;
    FBackupDir = finalDir;
    Log(L"  Yedek olusturuldu: " + finalDir + L" (" + std::to_wstring(total / kMB) + L" MB)");
}
