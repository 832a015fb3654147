// Folder rules, the image-path rule and the mode chosen by the setup file's name.
#include <gtest/gtest.h>

#include "uEngineRules.h"

using namespace EngineRules;

TEST(OrtakDataDirRule, DatabaseDriveWinsThenInstallDriveThenNoLetter) {
    EXPECT_EQ(OrtakDataDir(L"D", L"C:\\CorvaneZideroZur"), L"D:\\CorvaneOrtakData");
    EXPECT_EQ(OrtakDataDir(L"", L"E:\\CorvaneZideroZur"), L"E:\\CorvaneOrtakData");
    EXPECT_EQ(OrtakDataDir(L"", L""), L":\\CorvaneOrtakData");
    EXPECT_EQ(OrtakDataDir(L"", L"\\\\server\\share\\x"), L":\\CorvaneOrtakData");
    EXPECT_EQ(OrtakDataDir(L"", L"1:\\x"), L":\\CorvaneOrtakData");
    EXPECT_EQ(OrtakDataDir(L"", L"C"), L":\\CorvaneOrtakData");
}

TEST(ImagePathRule, FolderOfTheDefaultsFileOrTheSharedDataFolder) {
    struct Case {
        const wchar_t* imagePath;
        const wchar_t* folder;
    } cases[] = {
        // Fully quoted, as the database server registers itself.
        {L"\"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe\" "
         L"\"--defaults-file=D:\\CorvaneOrtakData\\my.ini\" \"CorvaneDB\"",
         L"D:\\CorvaneOrtakData"},
        {L"C:\\x\\mariadbd.exe --defaults-file=D:\\CorvaneOrtakData\\my.ini",
         L"D:\\CorvaneOrtakData"},
        // The first occurrence counts; the folder part is cut at the last backslash.
        {L"a --defaults-file=E:\\db\\my.ini --defaults-file=F:\\x\\y.ini", L"E:\\db\\my.ini --defaults-file=F:\\x"},
        // A file at the root keeps its backslash; a name alone has no folder.
        {L"x --defaults-file=D:\\my.ini", L"D:\\"},
        {L"x --defaults-file=my.ini", L""},
        {L"x --defaults-file=D:my.ini", L"D:"},
        // Case matters.
        {L"x --DEFAULTS-FILE=D:\\a\\my.ini", L""},
        {L"\"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe\"", L"D:\\CorvaneOrtakData"},
        {L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadbd.exe", L"D:\\CorvaneOrtakData"},
        {L"D:\\corvaneortakdata\\mariadb\\bin\\mariadbd.exe", L""},
        {L"C:\\Program Files\\MariaDB\\bin\\mysqld.exe MySQL", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ServiceFolderFromImagePath(c.imagePath), c.folder) << c.imagePath;
}

TEST(PathParts, FolderAndFileName) {
    EXPECT_EQ(ExtractFileDir(L"D:\\a\\b.txt"), L"D:\\a");
    EXPECT_EQ(ExtractFileDir(L"D:\\b.txt"), L"D:\\");
    EXPECT_EQ(ExtractFileDir(L"\\\\srv\\share"), L"\\\\srv");
    EXPECT_EQ(ExtractFileDir(L"a\\\\b"), L"a\\\\");
    EXPECT_EQ(ExtractFileDir(L"b.txt"), L"");
    EXPECT_EQ(ExtractFileName(L"D:\\x\\CorvaneMarketUpdate-1.2.exe"), L"CorvaneMarketUpdate-1.2.exe");
    EXPECT_EQ(ExtractFileName(L"D:setup.exe"), L"setup.exe");
    EXPECT_EQ(ExtractFileName(L"setup.exe"), L"setup.exe");
}

TEST(ModeByName, CaseSensitiveAndFileUpdateFirst) {
    EXPECT_EQ(ModeFromExeName(L"CorvaneMarketSetup.exe"), TNameMode::None);
    EXPECT_EQ(ModeFromExeName(L"CorvaneMarketUpdate-1.2.exe"), TNameMode::FullUpdate);
    EXPECT_EQ(ModeFromExeName(L"CorvaneMarketDosyaUpdate-1.2.exe"), TNameMode::FileUpdate);
    EXPECT_EQ(ModeFromExeName(L"CorvaneMarketupdate.exe"), TNameMode::None);
    EXPECT_EQ(ModeFromExeName(L"CorvaneMarketDosyaupdate.exe"), TNameMode::None);
    EXPECT_EQ(ModeFromExeName(L"dosyaUpdate.exe"), TNameMode::FullUpdate);
    EXPECT_EQ(ModeFromExeName(L"UPDATE.exe"), TNameMode::None);
}

TEST(NameRules, AsciiCaseOnlyExtensionsAndDriveParts) {
    EXPECT_TRUE(SameTextAscii(L"CorvaneDB", L"corvanedb"));
    EXPECT_FALSE(SameTextAscii(L"İ", L"i")) << "only A-Z fold";
    EXPECT_FALSE(SameTextAscii(L"ab", L"abc"));
    EXPECT_TRUE(HasExtension(L"Setup.DLL", L".dll"));
    EXPECT_TRUE(HasExtension(L"a.b.exe", L".EXE"));
    EXPECT_FALSE(HasExtension(L"exe", L".exe"));
    EXPECT_FALSE(HasExtension(L"x.dll.txt", L".dll"));
    EXPECT_EQ(DrivePart(L"d:\\x"), L"d:");
    EXPECT_EQ(DrivePart(L"\\\\srv\\share\\x\\y"), L"\\\\srv\\share");
    EXPECT_EQ(DrivePart(L"\\\\srv\\share"), L"\\\\srv\\share");
    EXPECT_EQ(DrivePart(L"\\\\srv"), L"");
    EXPECT_EQ(DrivePart(L"relative\\x"), L"");
    EXPECT_EQ(DrivePart(L"1:\\x"), L"");
}
