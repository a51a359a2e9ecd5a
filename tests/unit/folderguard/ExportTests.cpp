// The two exports called through the DLL with a stack built as the installer
// builds it. Under Wine every existing folder reports Wine's own synthetic
// DACL (Everyone 0x1200a9, READ_CONTROL among it), so an existing folder is
// public here; the DACL cases themselves are in FolderRightsTests.cpp.
#include "tests/unit/folderguard/InstallerHarness.h"

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"

using harness::InstallerStack;
using Entries = std::vector<std::wstring>;

class FolderguardExports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.module) << "cannot load Folderguard.dll from MARLIN_BIN_DIR";
        ASSERT_NE(plugin.isPublicFolder, nullptr);
        ASSERT_NE(plugin.removeFolder, nullptr);
    }
    harness::Plugin plugin;
    InstallerStack stack;
};

TEST_F(FolderguardExports, IsPublicFolderPushesErrorCodeThenAnswer) {
    const std::wstring folder = testsupport::MakeTempFolder(L"fg-public");
    stack.Push(L"below");
    stack.Push(folder);
    stack.Call(plugin.isPublicFolder);
    EXPECT_EQ(stack.PopAll(), (Entries{L"1", L"0", L"below"}));

    // An empty stack means an empty path, which cannot be opened.
    stack.Call(plugin.isPublicFolder);
    EXPECT_EQ(stack.PopAll(), (Entries{L"0", L"0"}));

    // A missing path answers 0 and leaves the error code as it was.
    stack.Push(folder + L"\\missing");
    stack.Call(plugin.isPublicFolder);
    EXPECT_EQ(stack.PopAll(), (Entries{L"0", L"0"}));

    // An entry filled to the last character is read within its bounds.
    stack.Push(std::wstring(1023, L'x'));
    stack.Call(plugin.isPublicFolder);
    EXPECT_EQ(stack.PopAll(), (Entries{L"0", L"0"}));
}

TEST_F(FolderguardExports, CallsWithoutAUsableStackChangeNothing) {
    const std::wstring folder = testsupport::MakeTempFolder(L"fg-nostack");
    plugin.isPublicFolder(nullptr, 1024, nullptr, nullptr);
    plugin.removeFolder(nullptr, 1024, nullptr, nullptr);
    for (int bogusSize : {0, -5, 0x7FFFFFFF}) {
        stack.Push(folder);
        stack.CallWithSize(plugin.removeFolder, bogusSize);
        stack.CallWithSize(plugin.isPublicFolder, bogusSize);
        EXPECT_EQ(stack.PopAll(), Entries{folder}) << bogusSize;
    }
    EXPECT_TRUE(testsupport::PathExists(folder));
}

TEST_F(FolderguardExports, RemoveFolderDeletesATreeWithReadOnlyFiles) {
    const std::wstring folder = testsupport::MakeTempFolder(L"fg-tree");
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(testsupport::WriteBytes(folder + L"\\a.txt", "a"));
    ASSERT_TRUE(testsupport::WriteBytes(folder + L"\\sub\\locked.txt", "b"));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\sub\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\sub").c_str(), FILE_ATTRIBUTE_READONLY));

    stack.Push(L"below");
    stack.Push(folder);
    stack.Call(plugin.removeFolder);
    EXPECT_EQ(stack.PopAll(), (Entries{L"0", L"below"}));
    EXPECT_FALSE(testsupport::PathExists(folder));

    // The shell's own code for a path that is not there.
    stack.Push(folder);
    stack.Call(plugin.removeFolder);
    EXPECT_EQ(stack.PopAll(), Entries{L"2"});
}

TEST_F(FolderguardExports, RemoveFolderRefusesPathsItWouldHaveToCut) {
    // A 260-character path whose first 259 characters name a real folder:
    // cutting it to fit the shell's buffer would delete that folder instead.
    std::wstring parent = testsupport::MakeTempFolder(L"fg-long") + L"\\";
    parent += std::wstring(100, L'p');
    ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
    const std::wstring cut = parent + L"\\" + std::wstring(MAX_PATH - 1 - parent.size() - 1, L'c');
    const std::wstring given = cut + L"x";
    ASSERT_EQ(given.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_TRUE(CreateDirectoryW(cut.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(given.c_str(), nullptr));

    stack.Push(given);
    stack.Call(plugin.removeFolder);
    EXPECT_EQ(stack.PopAll(), Entries{L"206"});
    EXPECT_TRUE(testsupport::PathExists(cut));
    EXPECT_TRUE(testsupport::PathExists(given));

    // An empty stack gives an empty path: refused, nothing near the current
    // folder is touched.
    ASSERT_TRUE(SetCurrentDirectoryW(parent.c_str()));
    stack.Call(plugin.removeFolder);
    EXPECT_EQ(stack.PopAll(), Entries{L"87"});
    EXPECT_TRUE(testsupport::PathExists(cut));
}
