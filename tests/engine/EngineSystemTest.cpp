// The engine object against the prefix's real service manager, registry and shell folders.
#include <gtest/gtest.h>

#include <windows.h>

#include "Journal.h"
#include "ScriptedHost.h"

namespace {

class TScHandle {
public:
    explicit TScHandle(SC_HANDLE h) : FHandle(h) {}
    ~TScHandle() {
        if (FHandle)
            CloseServiceHandle(FHandle);
    }
    TScHandle(const TScHandle&) = delete;
    TScHandle& operator=(const TScHandle&) = delete;
    SC_HANDLE get() const { return FHandle; }

private:
    SC_HANDLE FHandle;
};

// Registers (without starting) a CorvaneDB service with the given command line.
class CorvaneDbServiceKey : public ::testing::Test {
protected:
    void Register(const std::wstring& imagePath) {
        Unregister();
        TScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_NE(scm.get(), nullptr);
        TScHandle svc(CreateServiceW(scm.get(), L"CorvaneDB", L"CorvaneDB", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        ASSERT_NE(svc.get(), nullptr) << GetLastError();
    }
    void Unregister() {
        TScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!scm.get())
            return;
        TScHandle svc(OpenServiceW(scm.get(), L"CorvaneDB", SERVICE_ALL_ACCESS));
        if (svc.get())
            DeleteService(svc.get());
    }
    void TearDown() override { Unregister(); }

    TJournal journal;
    TSetupEngine engine{std::make_unique<TScriptedHost>(journal)};
};

TEST_F(CorvaneDbServiceKey, NoServiceGivesAnEmptyFolder) {
    Unregister();
    EXPECT_EQ(engine.GetMevcutServisYolu(), L"");
}

TEST_F(CorvaneDbServiceKey, FolderOfTheDefaultsFileOfTheRegisteredService) {
    Register(L"\"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe\" "
             L"\"--defaults-file=D:\\CorvaneOrtakData\\my.ini\" \"CorvaneDB\"");
    EXPECT_EQ(engine.GetMevcutServisYolu(), L"D:\\CorvaneOrtakData");

    Register(L"C:\\x\\mariadbd.exe --defaults-file=E:\\Baska Klasor\\my.ini");
    EXPECT_EQ(engine.GetMevcutServisYolu(), L"E:\\Baska Klasor");
}

TEST_F(CorvaneDbServiceKey, SharedDataFolderInTheProgramPath) {
    Register(L"\"E:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe\"");
    EXPECT_EQ(engine.GetMevcutServisYolu(), L"E:\\CorvaneOrtakData");
}

TEST_F(CorvaneDbServiceKey, UnrelatedProgramGivesAnEmptyFolder) {
    Register(L"C:\\Program Files\\MariaDB 10.6\\bin\\mysqld.exe MySQL");
    EXPECT_EQ(engine.GetMevcutServisYolu(), L"");
}

TEST(DesktopFolder, IsAnExistingFolderOfThisMachine) {
    TJournal j;
    TSetupEngine e(std::make_unique<TScriptedHost>(j));
    const std::wstring desktop = e.GetDesktopPath();
    const DWORD attr = GetFileAttributesW(desktop.c_str());
    ASSERT_NE(attr, INVALID_FILE_ATTRIBUTES) << "desktop folder missing";
    EXPECT_TRUE(attr & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(desktop.back(), L'\\');
}

} // namespace
