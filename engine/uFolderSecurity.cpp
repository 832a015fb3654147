// The installation's folders as only SYSTEM and Administrators may change them.
#include <windows.h>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uHardening.h"
#include "uSetupEngine.h"

// The installation folder and the shared data folder with Data and mariadb get the protected
// DACL: made with it when Create is set and they are missing, given it again when they exist
// (so that an installation of an earlier version becomes protected at its next update). A
// folder at one of these names that is a link or not owned by SYSTEM, Administrators or
// TrustedInstaller stops the run before anything is written through it.
void TSetupEngine::ProtectInstallFolders(bool Create) {
    for (const std::wstring& dir : {FInstallDir, OrtakDataDir(), DataDir(), MariaDir()}) {
        if (dir.empty() || dir[0] == L':')
            continue;
        if (!Create && GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        const std::wstring parent = EngineRules::ExtractFileDir(dir);
        if (Create && !parent.empty() && !DirectoryExists(parent))
            ForceDirectories(parent);
        std::wstring error;
        if (!EnsureProtectedDir(dir, PROTECTED_FOLDER_SDDL, error))
            throw ESetupError(error);
    }
    // The till program runs as the signed-in user and may change its own settings.
    const std::wstring tillConfig = FInstallDir + L"\\pos-config.json";
    std::wstring error;
    if (FileExists(tillConfig) && !AllowUsersToWrite(tillConfig, error))
        Log(L"  ! pos-config.json kullanıcılara yazılabilir yapılamadı: " + error);
}
