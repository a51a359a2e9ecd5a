// Installing update files into a scratch install folder: the installed file
// is replaced and kept as ".bck", and is never left missing when the update
// folder lacks its new file or the new file cannot be copied in.
#include <winsock2.h>  // before windows.h, which gtest includes
#include <windows.h>

#include <gtest/gtest.h>

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
        installed_ = install_ + L"\\MarlinWinTab.dll";
        backup_ = installed_ + L".bck";
        delivered_ = update_ + L"\\MarlinWinTabUpdate.dll";
        staged_ = update_ + L"\\MarlinWinTab.dll";
    }
    std::string Log() { return log_.Read(); }
    bool Install() { return InstallUpdatedFile(kUpdatedHookLibrary, update_, install_); }

    testsupport::TestLog log_{L"marlin-update-log"};
    std::wstring install_, update_, installed_, backup_, delivered_, staged_;
};

}  // namespace

TEST_F(UpdateFolders, NewFileReplacesInstalledOneWhichBecomesTheBackup) {
    WriteBytes(installed_, "old");
    WriteBytes(delivered_, "new");
    EXPECT_TRUE(Install());
    EXPECT_EQ(ReadBytes(installed_), "new");
    EXPECT_EQ(ReadBytes(backup_), "old");
    EXPECT_FALSE(PathExists(delivered_));
    EXPECT_FALSE(PathExists(staged_));

    // A second update replaces the first backup.
    WriteBytes(delivered_, "newer");
    EXPECT_TRUE(Install());
    EXPECT_EQ(ReadBytes(installed_), "newer");
    EXPECT_EQ(ReadBytes(backup_), "new");
}

TEST_F(UpdateFolders, MissingNewFileLeavesInstalledFileInPlace) {
    WriteBytes(installed_, "old");
    WriteBytes(staged_, "stale");  // left by an earlier run; must not be taken for the new file
    EXPECT_FALSE(Install());
    EXPECT_EQ(ReadBytes(installed_), "old");
    EXPECT_FALSE(PathExists(backup_));
}

// The new file can be renamed but not read (another program holds it open
// without read sharing), so the copy fails after the installed file was
// moved aside: the installed file comes back and the new one stays in the
// update folder for another try.
TEST_F(UpdateFolders, FailedCopyPutsInstalledFileBack) {
    WriteBytes(installed_, "old");
    WriteBytes(delivered_, "new");
    HANDLE holder = CreateFileW(delivered_.c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Install());
    CloseHandle(holder);
    EXPECT_NE(Log().find("Call to CopyFile()"), std::string::npos) << Log();
    EXPECT_EQ(ReadBytes(installed_), "old");
    EXPECT_FALSE(PathExists(backup_));
    EXPECT_EQ(ReadBytes(delivered_), "new");
}
