// File operations with environment variables expanded in their paths, and the
// permission repair that puts the Users list of AllUsersDACL on a file or folder.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// A folder name a client may give for a folder we create below one of ours:
// one plain path element that cannot climb out (no separators, no drive, not
// "." or "..", nothing Windows would trim or refuse in a name).
bool IsPlainFolderName(const std::wstring& folderName);

bool deleteFile(std::wstring path);
// Logs "Target does not exist:" when the path is absent.
bool fileExists(std::wstring path);
// Replaces an existing destination; logs a "MoveFile()" block on failure.
bool moveFile(std::wstring source, std::wstring destination);
// Overwrites an existing destination; logs a "CopyFile()" block on failure.
bool copyFile(std::wstring source, std::wstring destination);

// Puts the read-and-execute list on a freshly installed executable or library,
// without looking at what is there first.
bool resetUpdatedCorePermissions(std::wstring path);
// Puts the modify list on path unless it already carries exactly that list.
// Refuses a path that passes through a reparse point (junction, symbolic
// link, mount point): the list would land on whatever that points at.
bool ResetFilePermissions(std::wstring path);

// GetFileAttributesW, or a stand-in with the same answers.
using AttributeLookup = std::function<DWORD(const std::wstring& path)>;
// The first existing component of path, from its root down to path itself,
// that is a reparse point; empty when there is none. Missing components are
// passed over (nothing can be planted below them).
std::wstring FirstReparsePoint(const std::wstring& path, const AttributeLookup& attributes);
// True when the file's list is exactly the modify list (path used unexpanded).
bool CheckFilePermissionsOK(std::wstring path);
bool ResetFilePermissionsHelper(std::wstring path, PACL acl);

// The judgement behind CheckFilePermissionsOK: exactly one kind of deny entry
// (WRITE_DAC | WRITE_OWNER) and one kind of allow entry (the modify mask), and
// nothing else; a descriptor without a list is not OK.
bool HasExpectedUsersDacl(PSECURITY_DESCRIPTOR descriptor);
