// A fresh GUID in braces, for test-only registry keys and product codes that
// cannot meet those of other tests.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace testsupport {

inline std::wstring NewGuid() {
    GUID guid;
    CoCreateGuid(&guid);
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

}  // namespace testsupport
