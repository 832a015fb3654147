// Backup store: the backup folder, backup.info and taking the backup before an update.
#include "uSetupEngine.h"

std::wstring TSetupEngine::BackupDir() const { return std::wstring(); }

bool TSetupEngine::BackupExists() const { return false; }

bool TSetupEngine::GetBackupInfo(std::wstring& ATarih, int64_t& ABoyut) const {
    ATarih.clear();
    ABoyut = 0;
    return false;
}

void TSetupEngine::CreateBackup() { Log(L"[1.5/14] Yedek olusturuluyor..."); }
