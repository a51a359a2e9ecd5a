// Installing update files into a scratch install folder: the installed file
// is replaced and kept as ".bck", and is never left missing or replaced by a
// damaged file. The files are copies of the built programs, so the checks
// see real images of this build's machine.
#include <winsock2.h>  // before windows.h, which gtest includes
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "core/maintenance/UpdateInstaller.h"
#include "tests/support/TestLog.h"

using testsupport::PathExists;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

namespace {

class UpdateFolders : public ::testing::Test {
protected:
    void SetUp() override {
        install_ = testsupport::MakeTempFolder(L"marlin-install");
        update_ = testsupport::MakeTempFolder(L"marlin update");  // a blank, as in real folder names
        library_ = ReadBytes(testsupport::BinDir() + L"\\MarlinWinTab.dll");
        program_ = ReadBytes(testsupport::BinDir() + L"\\MarlinCore.exe");
        ASSERT_FALSE(library_.empty());
        ASSERT_FALSE(program_.empty());
    }
    std::string Log() { return log_.Read(); }
    // The paths of one file of the update.
    std::wstring Installed(const UpdatedFile& file) { return install_ + L"\\" + file.installedName; }
    std::wstring Delivered(const UpdatedFile& file) { return update_ + L"\\" + file.deliveredName; }
    bool Install(const UpdatedFile& file) { return InstallUpdatedFile(file, update_, install_); }

    testsupport::TestLog log_{L"marlin-update-log"};
    std::wstring install_, update_;
    std::string library_, program_;  // the built files; appended bytes tell versions apart
};

}  // namespace

TEST_F(UpdateFolders, NewFileReplacesInstalledOneWhichBecomesTheBackup) {
    const UpdatedFile& file = kUpdatedHookLibrary;
    WriteBytes(Installed(file), library_);
    WriteBytes(Delivered(file), library_ + "new");
    EXPECT_TRUE(Install(file));
    EXPECT_EQ(ReadBytes(Installed(file)), library_ + "new");
    EXPECT_EQ(ReadBytes(Installed(file) + L".bck"), library_);
    EXPECT_FALSE(PathExists(Installed(file) + L".new"));
    EXPECT_EQ(ReadBytes(Delivered(file)), library_ + "new");  // one file alone: InstallUpdate decides

    // A second update replaces the first backup.
    WriteBytes(Delivered(file), library_ + "newer");
    EXPECT_TRUE(Install(file));
    EXPECT_EQ(ReadBytes(Installed(file)), library_ + "newer");
    EXPECT_EQ(ReadBytes(Installed(file) + L".bck"), library_ + "new");
}

// The delivered files go once both are installed; when one is refused both
// stay for another try, and the log says so.
TEST_F(UpdateFolders, DeliveredFilesAreRemovedOnlyWhenBothWereInstalled) {
    WriteBytes(Installed(kUpdatedCore), program_);
    WriteBytes(Installed(kUpdatedHookLibrary), library_);
    WriteBytes(Delivered(kUpdatedCore), program_ + "new");
    WriteBytes(Delivered(kUpdatedHookLibrary), program_.substr(0, 100));  // damaged
    EXPECT_FALSE(InstallUpdate(update_, install_));
    EXPECT_EQ(ReadBytes(Installed(kUpdatedCore)), program_ + "new");
    EXPECT_TRUE(PathExists(Delivered(kUpdatedCore)));
    EXPECT_TRUE(PathExists(Delivered(kUpdatedHookLibrary)));
    EXPECT_NE(Log().find("Maintenance: not every update file was installed, the update files stay in "),
              std::string::npos) << Log();

    WriteBytes(Delivered(kUpdatedHookLibrary), library_ + "new");
    EXPECT_TRUE(InstallUpdate(update_, install_));
    EXPECT_EQ(ReadBytes(Installed(kUpdatedHookLibrary)), library_ + "new");
    EXPECT_FALSE(PathExists(Delivered(kUpdatedCore)));
    EXPECT_FALSE(PathExists(Delivered(kUpdatedHookLibrary)));
}

TEST_F(UpdateFolders, MissingNewFileLeavesInstalledFileInPlace) {
    const UpdatedFile& file = kUpdatedHookLibrary;
    WriteBytes(Installed(file), library_);
    WriteBytes(update_ + L"\\MarlinWinTab.dll", library_ + "stale");  // an installed name in the update folder is no update
    EXPECT_FALSE(Install(file));
    EXPECT_EQ(ReadBytes(Installed(file)), library_);
    EXPECT_FALSE(PathExists(Installed(file) + L".bck"));
}

// The new file cannot be read (another program holds it open without read
// sharing), so it cannot be copied in: nothing of the installation changes
// and the new one stays in the update folder for another try.
TEST_F(UpdateFolders, UnreadableNewFileLeavesInstallationAlone) {
    const UpdatedFile& file = kUpdatedHookLibrary;
    WriteBytes(Installed(file), library_);
    WriteBytes(Delivered(file), library_ + "new");
    HANDLE holder = CreateFileW(Delivered(file).c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Install(file));
    CloseHandle(holder);
    EXPECT_NE(Log().find("Call to CopyFile()"), std::string::npos) << Log();
    EXPECT_EQ(ReadBytes(Installed(file)), library_);
    EXPECT_FALSE(PathExists(Installed(file) + L".bck"));
    EXPECT_EQ(ReadBytes(Delivered(file)), library_ + "new");
}

// A delivery cut short (a download that stopped) still starts like a program
// but cannot run; a library delivered as the program is no program either.
TEST_F(UpdateFolders, DamagedNewProgramIsRefused) {
    const UpdatedFile& file = kUpdatedCore;
    WriteBytes(Installed(file), program_);
    for (const std::string& damaged : {program_.substr(0, program_.size() / 3), library_}) {
        WriteBytes(Delivered(file), damaged);
        EXPECT_FALSE(Install(file));
        EXPECT_EQ(ReadBytes(Installed(file)), program_);
        EXPECT_FALSE(PathExists(Installed(file) + L".bck"));
        EXPECT_FALSE(PathExists(Installed(file) + L".new"));
        EXPECT_EQ(ReadBytes(Delivered(file)), damaged);
    }
    EXPECT_NE(Log().find("new file damaged or unreadable, keeping "), std::string::npos) << Log();
}

// The same program marked as built for the other width (x86 and x86-64 share
// every header field up to these two): this build could not run it.
TEST_F(UpdateFolders, ImageOfTheOtherWidthIsRefused) {
    const UpdatedFile& file = kUpdatedCore;
    WriteBytes(Installed(file), program_);
    std::string other = program_;
    LONG headers = 0;
    memcpy(&headers, &other[offsetof(IMAGE_DOS_HEADER, e_lfanew)], sizeof(headers));
#ifdef _WIN64
    const WORD machine = IMAGE_FILE_MACHINE_I386, magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#else
    const WORD machine = IMAGE_FILE_MACHINE_AMD64, magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#endif
    memcpy(&other[headers + offsetof(IMAGE_NT_HEADERS, FileHeader.Machine)], &machine, sizeof(machine));
    memcpy(&other[headers + offsetof(IMAGE_NT_HEADERS, OptionalHeader.Magic)], &magic, sizeof(magic));
    WriteBytes(Delivered(file), other);
    EXPECT_FALSE(Install(file));
    EXPECT_EQ(ReadBytes(Installed(file)), program_);
    EXPECT_FALSE(PathExists(Installed(file) + L".bck"));
    EXPECT_NE(Log().find("is not usable: not an image for this machine"), std::string::npos) << Log();
}
