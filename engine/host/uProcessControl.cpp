// Process and service control: find a program by its image name, wait for it to go, stop and
// delete a Windows service. Every wait polls once a second through Sleep and gives up in time.
#include "uWinHost.h"

#include <tlhelp32.h>

#include "uEngineRules.h"
#include "uWin32Seam.h"
#include "uWinHandles.h"

namespace {

std::wstring FileNamePart(const wchar_t* exeFile) {
    std::wstring name(exeFile, ::wcsnlen(exeFile, MAX_PATH));
    const size_t i = name.find_last_of(L"\\/");
    return i == std::wstring::npos ? name : name.substr(i + 1);
}

// Only this error means the service is not there; any other refusal (access denied, a
// manager that is shutting down) says nothing about whether it exists.
bool ServiceMissing(DWORD error) {
    return error == ERROR_SERVICE_DOES_NOT_EXIST;
}

} // namespace

SC_HANDLE TWinHost::OpenManager(DWORD access) {
    return ::OpenSCManagerW(nullptr, nullptr, access);
}

bool TWinHost::QueryServiceState(SC_HANDLE service, DWORD& state) {
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service, &status))
        return false;
    state = status.dwCurrentState;
    return true;
}

bool TWinHost::IsProcessRunning(const std::wstring& exeName) {
    TWinHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = ::Process32FirstW(snapshot.Get(), &entry); ok;
         ok = ::Process32NextW(snapshot.Get(), &entry)) {
        if (EngineRules::SameTextAscii(FileNamePart(entry.szExeFile), exeName))
            return true;
    }
    return false;
}

bool TWinHost::WaitProcessExit(const std::wstring& exeName, int seconds) {
    for (int i = 1; i <= seconds; ++i) {
        if (!IsProcessRunning(exeName)) {
            Log(L"    " + exeName + L" kapandı (" + std::to_wstring(i) + L"sn)");
            return true;
        }
        Sleep(1000);
    }
    Log(L"    ! " + exeName + L" hala çalışıyor (" + std::to_wstring(seconds) + L"sn beklendi)");
    return false;
}

bool TWinHost::StopServiceWait(const std::wstring& serviceName, int seconds) {
    TScHandle manager(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        Log(L"    ! SCManager açılamadı");
        RunCmd(L"net stop " + serviceName, 15000);
        Sleep(3000);
        return true;
    }
    TScHandle service(vpfnOpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = ::GetLastError();
        if (ServiceMissing(error)) {
            Log(L"    Servis bulunamadı: " + serviceName + L" (yeni kurulum?)");
            return true;
        }
        Log(L"    ! Servis açılamadı: " + serviceName + L" - " + SysErrorMessage(error));
        return false;
    }
    // A status that cannot be read counts as "not stopped yet", never as stopped.
    DWORD state = 0;
    if (QueryServiceState(service.Get(), state) && state == SERVICE_STOPPED) {
        Log(L"    Servis zaten durmuş");
        return true;
    }
    Log(L"    Servis durduruluyor: " + serviceName);
    SERVICE_STATUS ignored{};
    if (!vpfnControlService(service.Get(), SERVICE_CONTROL_STOP, &ignored)) {
        const DWORD error = ::GetLastError();
        // A service that is already stopping cannot take the control and still stops; one
        // that refuses us will not stop however long we wait.
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) {
            Log(L"    ! Servis durdurulamadı: " + serviceName + L" - " + SysErrorMessage(error));
            return false;
        }
    }
    for (int i = 1; i <= seconds; ++i) {
        Sleep(1000);
        if (QueryServiceState(service.Get(), state) && state == SERVICE_STOPPED) {
            Log(L"    Servis durdu (" + std::to_wstring(i) + L"sn)");
            return true;
        }
        if (i % 5 == 0)
            Log(L"    Bekleniyor... (" + std::to_wstring(i) + L"/" + std::to_wstring(seconds) +
                L"sn)");
    }
    Log(L"    ! Servis " + std::to_wstring(seconds) + L"sn içinde durmadı");
    return false;
}

bool TWinHost::DeleteServiceWait(const std::wstring& serviceName, int seconds) {
    {
        TScHandle manager(OpenManager(SC_MANAGER_ALL_ACCESS));
        if (!manager) {
            RunCmd(L"sc delete " + serviceName, 10000);
            Sleep(3000);
            return true;
        }
        TScHandle service(vpfnOpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
        if (!service) {
            const DWORD error = ::GetLastError();
            if (ServiceMissing(error)) {
                Log(L"    Servis zaten yok: " + serviceName);
                return true;
            }
            Log(L"    ! Servis açılamadı: " + serviceName + L" - " + SysErrorMessage(error));
            return false;
        }
        if (!vpfnDeleteService(service.Get())) {
            const DWORD error = ::GetLastError();
            // Marked already by someone else: it goes once its last handle closes, as ours do.
            if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
                Log(L"    ! Servis silinemedi: " + serviceName + L" - " + SysErrorMessage(error));
                return false;
            }
        }
        Log(L"    Servis silme istendi: " + serviceName);
        // Both handles close here: the system removes a service marked for deletion only
        // once no handle to it remains open.
    }
    for (int i = 1; i <= seconds; ++i) {
        Sleep(1000);
        TScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        if (!manager)
            continue;
        TScHandle service(
            vpfnOpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
        // Only "does not exist" is gone; a refused open is a pass without result.
        if (!service && ServiceMissing(::GetLastError())) {
            Log(L"    Servis silindi (" + std::to_wstring(i) + L"sn)");
            return true;
        }
    }
    Log(L"    ! Servis silinemedi (" + std::to_wstring(seconds) + L"sn beklendi)");
    return false;
}
