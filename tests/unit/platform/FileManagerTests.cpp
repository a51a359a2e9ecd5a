// Real files in a folder of the throw-away prefix.
#include "core/platform/FileManager.h"

#include <gtest/gtest.h>

#include <string>

#include "core/util/Log.h"
#include "tests/support/TestFiles.h"

namespace {

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempFolder(L"marlin-files");
        SetEnvironmentVariableW(L"MARLIN_TEST_DIR", dir_.c_str());
    }
    void TearDown() override {
        for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"}) DeleteFileW((dir_ + L"\\" + name).c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }

    std::wstring dir_;
};

}  // namespace

TEST_F(Files, ExistenceAndDeletionExpandVariables) {
    ASSERT_TRUE(testsupport::WriteBytes(Path(L"a.txt"), "A"));
    EXPECT_TRUE(fileExists(L"%MARLIN_TEST_DIR%\\a.txt"));
    EXPECT_TRUE(fileExists(L"%MARLIN_TEST_DIR%"));  // folders count too

    EXPECT_FALSE(fileExists(L"%MARLIN_TEST_DIR%\\b.txt"));
    EXPECT_EQ(GetLastLogMessage(), Path(L"b.txt"));  // after "Target does not exist:"

    EXPECT_TRUE(deleteFile(L"%MARLIN_TEST_DIR%\\a.txt"));
    EXPECT_FALSE(testsupport::PathExists(Path(L"a.txt")));
    EXPECT_FALSE(deleteFile(L"%MARLIN_TEST_DIR%\\a.txt"));
}

TEST_F(Files, MoveAndCopyReplaceTheDestination) {
    ASSERT_TRUE(testsupport::WriteBytes(Path(L"a.txt"), "new"));
    ASSERT_TRUE(testsupport::WriteBytes(Path(L"b.txt"), "old contents"));
    EXPECT_TRUE(copyFile(L"%MARLIN_TEST_DIR%\\a.txt", L"%MARLIN_TEST_DIR%\\b.txt"));
    EXPECT_EQ(testsupport::ReadBytes(Path(L"b.txt")), "new");
    EXPECT_EQ(testsupport::ReadBytes(Path(L"a.txt")), "new");

    ASSERT_TRUE(testsupport::WriteBytes(Path(L"c.txt"), "moved"));
    EXPECT_TRUE(moveFile(L"%MARLIN_TEST_DIR%\\c.txt", L"%MARLIN_TEST_DIR%\\a.txt"));
    EXPECT_EQ(testsupport::ReadBytes(Path(L"a.txt")), "moved");
    EXPECT_FALSE(testsupport::PathExists(Path(L"c.txt")));
}

TEST_F(Files, FailedMoveAndCopyLeaveTheDestinationAndExplain) {
    ASSERT_TRUE(testsupport::WriteBytes(Path(L"b.txt"), "kept"));
    EXPECT_FALSE(moveFile(Path(L"c.txt"), Path(L"b.txt")));
    EXPECT_NE(GetLastLogMessage().find(L"Call to MoveFile(), returned error: "), std::wstring::npos);
    EXPECT_FALSE(copyFile(Path(L"c.txt"), Path(L"b.txt")));
    EXPECT_NE(GetLastLogMessage().find(L"Call to CopyFile(), returned error: "), std::wstring::npos);
    EXPECT_EQ(testsupport::ReadBytes(Path(L"b.txt")), "kept");
}
