// Real files in a folder of the throw-away prefix.
#include "core/platform/FileManager.h"

#include <gtest/gtest.h>

#include <string>

#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/TestFiles.h"

TEST(Files, MoveAndCopyReplaceTheDestinationAndFailWithoutTouchingIt) {
    const std::wstring dir = testsupport::MakeTempFolder(L"marlin-files");
    SetEnvironmentVariableW(L"MARLIN_TEST_DIR", dir.c_str());
    const std::wstring a = dir + L"\\a.txt", b = dir + L"\\b.txt", c = dir + L"\\c.txt";
    ASSERT_TRUE(testsupport::WriteBytes(a, "new"));
    ASSERT_TRUE(testsupport::WriteBytes(b, "old contents"));

    EXPECT_TRUE(copyFile(L"%MARLIN_TEST_DIR%\\a.txt", L"%MARLIN_TEST_DIR%\\b.txt"));
    EXPECT_EQ(testsupport::ReadBytes(b), "new");
    EXPECT_TRUE(moveFile(L"%MARLIN_TEST_DIR%\\b.txt", L"%MARLIN_TEST_DIR%\\a.txt"));
    EXPECT_EQ(testsupport::ReadBytes(a), "new");
    EXPECT_FALSE(fileExists(L"%MARLIN_TEST_DIR%\\b.txt"));
    EXPECT_EQ(LastLogLineForTest(), b);  // after "Target does not exist:"

    EXPECT_FALSE(moveFile(c, a));
    EXPECT_NE(LastLogLineForTest().find(L"Call to MoveFile(), returned error: "), std::wstring::npos);
    EXPECT_FALSE(copyFile(c, a));
    EXPECT_NE(LastLogLineForTest().find(L"Call to CopyFile(), returned error: "), std::wstring::npos);
    EXPECT_EQ(testsupport::ReadBytes(a), "new");

    EXPECT_TRUE(deleteFile(L"%MARLIN_TEST_DIR%\\a.txt"));
    EXPECT_FALSE(deleteFile(a));
    RemoveDirectoryW(dir.c_str());
}
