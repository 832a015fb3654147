// File tree operations against real files: copies with hidden, read-only and locked files,
// retries, long paths, folder links, deletion, sizes and free space.
#include "HostTestSupport.h"
#include "uSetupEngine.h"
#include "uSetupError.h"

namespace {

using Lines = std::vector<std::wstring>;

void MakeFile(const std::wstring& path, const std::string& text,
              DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    WriteText(path, text);
    if (attributes != FILE_ATTRIBUTE_NORMAL)
        ::SetFileAttributesW(path.c_str(), attributes);
}

// Holds a file open without sharing in another process.
struct TLocker {
    TChild Child;
    explicit TLocker(const std::wstring& path) {
        EXPECT_TRUE(Child.Start(Standin(L"TarvikBridge.exe"),
                                L"--standin-life=60000 \"--standin-lock=" + path + L"\""));
    }
};

std::wstring SharingText() {
    return SysErrorMessage(ERROR_SHARING_VIOLATION);
}

std::wstring Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const ESetupError& e) {
        return e.Message();
    }
    return L"(no error)";
}

} // namespace

TEST(CopyDirRecursive, CopiesHiddenAndReadOnlyFilesAtEveryDepth) {
    TTempDir dir;
    const std::wstring src = dir / L"src", dst = dir / L"out\\nested\\dst";
    MakeDirs(src + L"\\sub\\deeper");
    MakeFile(src + L"\\a.txt", "a");
    MakeFile(src + L"\\ro.dll", "read-only", FILE_ATTRIBUTE_READONLY);
    MakeFile(src + L"\\sub\\hidden.ini", "hidden", FILE_ATTRIBUTE_HIDDEN);
    MakeFile(src + L"\\sub\\deeper\\sys.bin", "system",
             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
    ::CreateDirectoryW((src + L"\\empty").c_str(), nullptr);
    TRecordingHost host;
    host.CopyDirRecursive(src, dst);
    EXPECT_TRUE(host.Lines.empty());
    EXPECT_EQ(ReadText(dst + L"\\a.txt"), "a");
    EXPECT_EQ(ReadText(dst + L"\\ro.dll"), "read-only");
    EXPECT_EQ(ReadText(dst + L"\\sub\\hidden.ini"), "hidden");
    EXPECT_EQ(ReadText(dst + L"\\sub\\deeper\\sys.bin"), "system");
    EXPECT_TRUE(DirectoryExists(dst + L"\\empty"));
}

TEST(CopyDirRecursive, MissingSourceCreatesTheTargetOnly) {
    TTempDir dir;
    TRecordingHost host;
    host.CopyDirRecursive(dir / L"nothing", dir / L"target");
    EXPECT_TRUE(DirectoryExists(dir / L"target"));
    EXPECT_TRUE(host.Lines.empty());
}

TEST(CopyDirRecursive, LockedFileIsLoggedAndTheRestCopied) {
    TTempDir dir;
    const std::wstring src = dir / L"src", dst = dir / L"dst";
    MakeDirs(src);
    MakeFile(src + L"\\one.txt", "1");
    MakeFile(src + L"\\busy.dat", "busy");
    MakeFile(src + L"\\two.txt", "2");
    TLocker lock(src + L"\\busy.dat");
    TRecordingHost host;
    host.CopyDirRecursive(src, dst);
    EXPECT_EQ(host.Lines, (Lines{L"    ! busy.dat: " + SharingText()}));
    EXPECT_TRUE(host.Sleeps.empty());
    EXPECT_EQ(ReadText(dst + L"\\one.txt"), "1");
    EXPECT_EQ(ReadText(dst + L"\\two.txt"), "2");
}

TEST(CopyDirWithRetry, LockedLibraryIsCritical) {
    TTempDir dir;
    const std::wstring src = dir / L"src", dst = dir / L"dst";
    MakeDirs(src + L"\\bin");
    MakeFile(src + L"\\bin\\Setup.DLL", "lib");
    TLocker lock(src + L"\\bin\\Setup.DLL");
    TRecordingHost host;
    const std::wstring msg = Message([&] { host.CopyDirWithRetry(src, dst, 5); });
    EXPECT_EQ(msg, L"Kritik dosya kopyalanamadı: Setup.DLL - " + SharingText());
    EXPECT_EQ(host.Lines, (Lines{L"    ! Setup.DLL kilitli, tekrar (1/5)...",
                                 L"    ! Setup.DLL kilitli, tekrar (2/5)...",
                                 L"    ! Setup.DLL kilitli, tekrar (3/5)...",
                                 L"    ! Setup.DLL kilitli, tekrar (4/5)..."}));
    EXPECT_EQ(host.Sleeps, (std::vector<int>{2000, 2000, 2000, 2000}));
}

TEST(CopyDirWithRetry, LockedProgramIsCriticalWhateverTheCase) {
    TTempDir dir;
    const std::wstring src = dir / L"src";
    MakeDirs(src);
    MakeFile(src + L"\\Till.Exe", "exe");
    TLocker lock(src + L"\\Till.Exe");
    TRecordingHost host;
    EXPECT_EQ(Message([&] { host.CopyDirWithRetry(src, dir / L"dst", 2); }),
              L"Kritik dosya kopyalanamadı: Till.Exe - " + SharingText());
}

TEST(CopyDirWithRetry, LockedOtherFileIsLoggedAndTheCopyGoesOn) {
    TTempDir dir;
    const std::wstring src = dir / L"src", dst = dir / L"dst";
    MakeDirs(src + L"\\sub");
    MakeFile(src + L"\\readme.txt", "readme");
    MakeFile(src + L"\\a.exe", "a");
    MakeFile(src + L"\\sub\\b.dll", "b");
    TLocker lock(src + L"\\readme.txt");
    TRecordingHost host;
    host.CopyDirWithRetry(src, dst, 5);
    EXPECT_EQ(host.Lines, (Lines{L"    ! readme.txt kilitli, tekrar (1/5)...",
                                 L"    ! readme.txt kilitli, tekrar (2/5)...",
                                 L"    ! readme.txt kilitli, tekrar (3/5)...",
                                 L"    ! readme.txt kilitli, tekrar (4/5)...",
                                 L"    ! readme.txt: " + SharingText()}));
    EXPECT_EQ(host.Sleeps.size(), 4u);
    EXPECT_EQ(ReadText(dst + L"\\a.exe"), "a");
    EXPECT_EQ(ReadText(dst + L"\\sub\\b.dll"), "b");
    EXPECT_FALSE(FileExists(dst + L"\\readme.txt"));
}

TEST(CopyDirWithRetry, FileUnlockedBeforeTheThirdAttemptIsCopied) {
    TTempDir dir;
    const std::wstring src = dir / L"src", dst = dir / L"dst";
    MakeDirs(src);
    MakeFile(src + L"\\CorvaneZideroZUR.exe", "till");
    TLocker lock(src + L"\\CorvaneZideroZUR.exe");
    TRecordingHost host;
    host.OnSleep = [&](size_t n) {
        if (n == 2)
            lock.Child.Kill();
    };
    host.CopyDirWithRetry(src, dst, 5);
    EXPECT_EQ(host.Lines, (Lines{L"    ! CorvaneZideroZUR.exe kilitli, tekrar (1/5)...",
                                 L"    ! CorvaneZideroZUR.exe kilitli, tekrar (2/5)..."}));
    EXPECT_EQ(ReadText(dst + L"\\CorvaneZideroZUR.exe"), "till");
}

TEST(CopyDirWithRetry, NoAttemptsStillCopiesOnceAndReports) {
    TTempDir dir;
    const std::wstring src = dir / L"src", dst = dir / L"dst";
    MakeDirs(src);
    MakeFile(src + L"\\a.dll", "a");
    TRecordingHost host;
    host.CopyDirWithRetry(src, dst, 0);
    EXPECT_EQ(ReadText(dst + L"\\a.dll"), "a");
    TLocker lock(src + L"\\a.dll");
    EXPECT_EQ(Message([&] { host.CopyDirWithRetry(src, dir / L"dst2", 0); }),
              L"Kritik dosya kopyalanamadı: a.dll - " + SharingText());
    EXPECT_TRUE(host.Lines.empty());
    EXPECT_TRUE(host.Sleeps.empty());
}

TEST(CopyOneFile, PathChecksInTheirOrder) {
    TTempDir dir;
    MakeFile(dir / L"ok.txt", "ok");
    const std::wstring ok = dir / L"ok.txt";
    const std::wstring longPath = dir.Path() + L"\\" + std::wstring(260, L'x') + L".txt";
    TRecordingHost host;
    struct TCase {
        std::wstring Src, Dst, Message;
    };
    const TCase cases[] = {
        {longPath, dir / L"t.txt", L"The specified path is too long"},
        {ok, longPath, L"The specified path is too long"},
        // the target's length is tested before the source's format
        {dir / L"a:b.txt", longPath, L"The specified path is too long"},
        {dir / L"a:b.txt", dir / L"t.txt", L"The path format is not supported"},
        {ok, L"1:\\t.txt", L"The path format is not supported"},
        {L"", dir / L"t.txt", L"Invalid characters in path"},
        {L"   ", dir / L"t.txt", L"Invalid characters in path"},
        {ok, dir / L"a|b.txt", L"Invalid characters in path"},
        {dir / L"a\"b.txt", dir / L"t.txt", L"Invalid characters in path"},
        {dir / L"no\\such.txt", dir / L"t.txt", L"The specified path was not found"},
        {ok, dir / L"no\\such\\t.txt", L"The specified path was not found"},
        {dir / L"missing.txt", dir / L"t.txt", L"The specified file was not found"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Message([&] { host.CopyOneFile(c.Src, c.Dst); }), c.Message)
            << std::string(c.Src.begin(), c.Src.end()) << " -> "
            << std::string(c.Dst.begin(), c.Dst.end());
    EXPECT_FALSE(FileExists(dir / L"t.txt"));
}

TEST(CopyOneFile, OverwritesTheTargetAndReportsTheSystemText) {
    TTempDir dir;
    MakeFile(dir / L"new.txt", "new");
    MakeFile(dir / L"old.txt", "old old old");
    TRecordingHost host;
    host.CopyOneFile(dir / L"new.txt", dir / L"old.txt");
    EXPECT_EQ(ReadText(dir / L"old.txt"), "new");
    TLocker lock(dir / L"old.txt");
    EXPECT_EQ(Message([&] { host.CopyOneFile(dir / L"new.txt", dir / L"old.txt"); }),
              SharingText());
}

// Windows' CopyFileW refuses such targets with "access denied"; Wine's overwrites them, so under
// Wine this guards the contract only.
TEST(CopyOneFile, OverwritesReadOnlyAndHiddenTargets) {
    TTempDir dir;
    MakeFile(dir / L"new.dll", "new");
    MakeFile(dir / L"ro.dll", "old", FILE_ATTRIBUTE_READONLY);
    MakeFile(dir / L"hidden.dll", "old", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    TRecordingHost host;
    host.CopyOneFile(dir / L"new.dll", dir / L"ro.dll");
    host.CopyOneFile(dir / L"new.dll", dir / L"hidden.dll");
    EXPECT_EQ(ReadText(dir / L"ro.dll"), "new");
    EXPECT_EQ(ReadText(dir / L"hidden.dll"), "new");

    // A copy that fails leaves the target as it found it, its attributes included.
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    MakeFile(dir / L"held.dll", "held", kept);
    TLocker lock(dir / L"held.dll");
    EXPECT_EQ(Message([&] { host.CopyOneFile(dir / L"new.dll", dir / L"held.dll"); }),
              SharingText());
    EXPECT_EQ(::GetFileAttributesW((dir / L"held.dll").c_str()) & kept, kept);
}

TEST(CopyDirRecursive, PathOfTwoHundredSixtyCharactersIsReported) {
    TTempDir dir;
    const std::wstring src = dir / L"src";
    MakeDirs(src);
    // The folder stays short enough to list; the file's own path reaches 260 characters.
    const std::wstring name = std::wstring(260 - src.size() - 1 - 4, L'n') + L".txt";
    ASSERT_EQ((src + L"\\" + name).size(), 260u);
    MakeFile(L"\\\\?\\" + src + L"\\" + name, "long");
    MakeFile(src + L"\\short.txt", "short");
    TRecordingHost host;
    host.CopyDirRecursive(src, dir / L"dst");
    EXPECT_EQ(host.Lines, (Lines{L"    ! " + name + L": The specified path is too long"}));
    EXPECT_EQ(ReadText(dir / L"dst\\short.txt"), "short");
}

TEST(FolderLinks, CopiesDoNotEnterALinkAndSayWhy) {
    TTempDir dir;
    MakeDirs(dir / L"outside");
    MakeFile(dir / L"outside\\secret.txt", "outside");
    MakeDirs(dir / L"src");
    MakeFile(dir / L"src\\own.txt", "own");
    ASSERT_TRUE(MakeFolderLink(dir / L"src\\link", dir / L"outside"));
    TRecordingHost host;
    host.CopyDirRecursive(dir / L"src", dir / L"dst");
    EXPECT_EQ(host.Lines, (Lines{L"    ! link: klasör bağlantısı, kopyalanmadı"}));
    EXPECT_EQ(ReadText(dir / L"dst\\own.txt"), "own");
    EXPECT_FALSE(FileExists(dir / L"dst\\link\\secret.txt"));

    host.Lines.clear();
    host.CopyDirWithRetry(dir / L"src", dir / L"dst2", 5);
    EXPECT_EQ(host.Lines, (Lines{L"    ! link: klasör bağlantısı, kopyalanmadı"}));
    EXPECT_FALSE(FileExists(dir / L"dst2\\link\\secret.txt"));
}

TEST(FolderLinks, DeletingATreeLeavesTheLinkTargetIntact) {
    TTempDir dir;
    MakeDirs(dir / L"outside\\deep");
    MakeFile(dir / L"outside\\keep.txt", "keep", FILE_ATTRIBUTE_READONLY);
    MakeFile(dir / L"outside\\deep\\keep2.txt", "keep2");
    MakeDirs(dir / L"tree\\sub");
    MakeFile(dir / L"tree\\sub\\gone.txt", "gone");
    ASSERT_TRUE(MakeFolderLink(dir / L"tree\\sub\\link", dir / L"outside"));
    DeleteDirRecursive(dir / L"tree");
    EXPECT_EQ(ReadText(dir / L"outside\\keep.txt"), "keep");
    EXPECT_EQ(ReadText(dir / L"outside\\deep\\keep2.txt"), "keep2");
    EXPECT_FALSE(FileExists(dir / L"tree\\sub\\gone.txt"));
    ::SetFileAttributesW((dir / L"outside\\keep.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FolderLinks, SizeDoesNotCountWhatALinkPointsTo) {
    TTempDir dir;
    MakeDirs(dir / L"outside");
    MakeFile(dir / L"outside\\big.bin", std::string(5000, 'b'));
    MakeDirs(dir / L"tree");
    MakeFile(dir / L"tree\\small.bin", std::string(10, 's'));
    ASSERT_TRUE(MakeFolderLink(dir / L"tree\\link", dir / L"outside"));
    TRecordingHost host;
    EXPECT_EQ(host.GetDirSize(dir / L"tree"), 10);
}

TEST(DeleteDirRecursive, RemovesAReadOnlyTree) {
    TTempDir dir;
    const std::wstring tree = dir / L"tree";
    MakeDirs(tree + L"\\a\\b");
    MakeFile(tree + L"\\ro.txt", "ro", FILE_ATTRIBUTE_READONLY);
    MakeFile(tree + L"\\a\\hidden.txt", "h", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeFile(tree + L"\\a\\b\\ro2.dll", "ro2", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW((tree + L"\\a\\b").c_str(), FILE_ATTRIBUTE_READONLY);
    DeleteDirRecursive(tree);
    EXPECT_FALSE(DirectoryExists(tree));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
}

TEST(DeleteDirRecursive, MissingFolderOrAFileIsLeftAlone) {
    TTempDir dir;
    DeleteDirRecursive(dir / L"missing");
    MakeFile(dir / L"file.txt", "f");
    DeleteDirRecursive(dir / L"file.txt");
    EXPECT_TRUE(FileExists(dir / L"file.txt"));
}

TEST(DeleteDirRecursive, FolderWithALockedFileStays) {
    TTempDir dir;
    MakeDirs(dir / L"tree");
    MakeFile(dir / L"tree\\busy.txt", "busy");
    MakeFile(dir / L"tree\\free.txt", "free");
    {
        TLocker lock(dir / L"tree\\busy.txt");
        DeleteDirRecursive(dir / L"tree");
        EXPECT_TRUE(FileExists(dir / L"tree\\busy.txt"));
        EXPECT_FALSE(FileExists(dir / L"tree\\free.txt"));
    }
    DeleteDirRecursive(dir / L"tree");
    EXPECT_FALSE(DirectoryExists(dir / L"tree"));
}

TEST(GetDirSize, SumsEveryFileAtEveryDepthHiddenIncluded) {
    TTempDir dir;
    const std::wstring tree = dir / L"tree";
    MakeDirs(tree + L"\\a\\b\\c");
    MakeFile(tree + L"\\one", std::string(1000, '1'));
    MakeFile(tree + L"\\a\\two", std::string(2345, '2'), FILE_ATTRIBUTE_HIDDEN);
    MakeFile(tree + L"\\a\\b\\three", std::string(1, '3'), FILE_ATTRIBUTE_READONLY);
    MakeFile(tree + L"\\a\\b\\c\\four", std::string(70000, '4'), FILE_ATTRIBUTE_SYSTEM);
    MakeFile(tree + L"\\a\\b\\c\\empty", "");
    TRecordingHost host;
    EXPECT_EQ(host.GetDirSize(tree), 1000 + 2345 + 1 + 70000);
    EXPECT_EQ(host.GetDirSize(tree + L"\\a\\b"), 1 + 70000);
    EXPECT_EQ(host.GetDirSize(dir / L"missing"), 0);
    EXPECT_EQ(host.GetDirSize(tree + L"\\one"), 0);
    ::SetFileAttributesW((tree + L"\\a\\b\\three").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(GetFreeSpace, RelativePathMeasuresTheInstallDrive) {
    TRecordingHost host;
    ULARGE_INTEGER d{}, c{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(L"D:\\", &d, nullptr, nullptr));
    ASSERT_TRUE(::GetDiskFreeSpaceExW(L"C:\\", &c, nullptr, nullptr));
    const int64_t slack = 256ll * 1024 * 1024; // other tests write meanwhile
    host.SetInstallDir(L"D:\\CorvaneZideroZur");
    EXPECT_NEAR(static_cast<double>(host.GetFreeSpace(L"relative\\folder")),
                static_cast<double>(d.QuadPart), static_cast<double>(slack));
    EXPECT_NEAR(static_cast<double>(host.GetFreeSpace(L"C:\\Windows")),
                static_cast<double>(c.QuadPart), static_cast<double>(slack));
    EXPECT_GT(host.GetFreeSpace(L"d:"), 0);
    host.SetInstallDir(L"");
    EXPECT_EQ(host.GetFreeSpace(L"relative"), 0);
}

TEST(GetFreeSpace, MissingDriveIsZero) {
    const DWORD drives = ::GetLogicalDrives();
    wchar_t letter = 0;
    for (wchar_t l = L'Z'; l >= L'F'; --l)
        if ((drives & (1u << (l - L'A'))) == 0) {
            letter = l;
            break;
        }
    ASSERT_NE(letter, 0);
    TRecordingHost host;
    EXPECT_EQ(host.GetFreeSpace(std::wstring(1, letter) + L":\\CorvaneZideroZur"), 0);
}
