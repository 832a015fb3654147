#pragma once
// TWizardSystem: what the setup's window asks of the system beyond what every window of ours
// asks (TUiSystem): the release's version, starting the till program as the signed-in user, the
// drive queries, the installation folder recorded in the uninstall entry and the making of the
// engine and the payload reader. The real answers come from this class itself; tests derive
// from it.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "uUiSystem.h"
#include "uWizardRules.h"

// The application's title, also the caption of its message boxes.
inline constexpr const wchar_t* APP_TITLE = L"CorvaneMarket Kurulum";

class TSetupEngine;
class TPayloadExtractor;

class TWizardSystem : public TUiSystem {
public:
    TWizardSystem() : TUiSystem(APP_TITLE) {}

    // The release's version ("2.4.1"): the one stamped into the program's version resource, or
    // else the one its file name carries; empty when neither says.
    virtual std::wstring ProgramVersion();
    // Starts a program as the user signed in at the desktop, not with this process's
    // administrator rights: through the desktop shell's automation object, so that the shell
    // (running as that user) starts it. False when no such shell answers; nothing is started.
    virtual bool StartAsSignedInUser(const std::wstring& file, const std::wstring& dir);

    virtual DWORD LogicalDrives();
    virtual UINT DriveType(const std::wstring& root);
    // Bytes free for the calling user on the drive of root; empty when the query fails.
    virtual std::optional<uint64_t> FreeBytes(const std::wstring& root);

    // "InstallLocation" of the uninstall entry an installation leaves; empty when there is none.
    virtual std::wstring RecordedInstallLocation();

    // The fixed drives from C to Z, each with whether it holds a CorvaneZideroZur folder.
    std::vector<WizardRules::TDriveItem> FixedDrives();
    // The installation whose backup the welcome page offers and a restore puts back: the folder
    // the uninstall entry records when it exists, otherwise the last fixed drive with a
    // CorvaneZideroZur folder; empty when there is none.
    std::wstring InstalledDir();

    virtual std::unique_ptr<TSetupEngine> CreateEngine();
    virtual std::unique_ptr<TPayloadExtractor> CreatePayload();
};

// "major.minor.build" of a version resource's fixed part; empty for 0.0.0 (a build that was
// not stamped) or a resource that is not one.
std::wstring FixedFileVersion(const void* resource, size_t bytes);
