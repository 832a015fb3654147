// The engine object against the prefix's real service manager, registry and shell folders.
#include <gtest/gtest.h>

#include <windows.h>

#include "Journal.h"
#include "ScriptedHost.h"
#include "MachineProbe.h"

namespace {

// Registers (without starting) a CorvaneDB service with the given command line.
class CorvaneDbServiceKey : public ::testing::Test {
protected:
    void Register(const std::wstring& imagePath) {
        ASSERT_TRUE(RegisterService(L"CorvaneDB", imagePath));
    }
    void Unregister() { UnregisterService(L"CorvaneDB"); }
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
