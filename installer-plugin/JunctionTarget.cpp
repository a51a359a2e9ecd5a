// Junction targets from reparse data, bounded by the data's own lengths.
#include "installer-plugin/JunctionTarget.h"

#include <cstring>

namespace folderguard {

namespace {
// Layout of mount-point reparse data: tag, data length, reserved, then the
// offsets and lengths (bytes) of the substitute and print names, which lie
// in the path buffer that follows.
constexpr DWORD kHeaderSize = 8;       // tag, data length, reserved
constexpr DWORD kPathBufferAt = 16;    // after the four name offsets/lengths
constexpr DWORD kNameFieldsSize = 8;

WORD ReadWord(const BYTE* at) {
    WORD value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}
}  // namespace

bool ReadJunctionTarget(const BYTE* data, DWORD size, std::wstring& target) {
    if (data == nullptr || size < kHeaderSize) return false;
    DWORD tag;
    std::memcpy(&tag, data, sizeof(tag));
    if (tag != kReparseTagMountPoint) return false;

    const DWORD dataLength = ReadWord(data + 4);
    if (dataLength < kNameFieldsSize || kHeaderSize + dataLength > size) return false;
    const DWORD nameOffset = ReadWord(data + 8);
    const DWORD nameLength = ReadWord(data + 10);
    const DWORD pathBufferSize = dataLength - kNameFieldsSize;
    if (nameLength == 0 || nameOffset % 2 != 0 || nameLength % 2 != 0 || nameOffset + nameLength > pathBufferSize)
        return false;

    std::wstring name(nameLength / sizeof(wchar_t), L'\0');
    std::memcpy(&name[0], data + kPathBufferAt + nameOffset, nameLength);
    // Some writers count a terminator in the length.
    while (!name.empty() && name.back() == L'\0') name.pop_back();
    // A NUL inside the name would make the path end early and name a parent.
    if (name.empty() || name.find(L'\0') != std::wstring::npos) return false;

    static const wchar_t kObjectPrefix[] = L"\\??\\";
    if (name.compare(0, 4, kObjectPrefix) == 0) {
        const bool drivePath = name.size() >= 6 && name[5] == L':' &&
                               ((name[4] >= L'A' && name[4] <= L'Z') || (name[4] >= L'a' && name[4] <= L'z'));
        name = drivePath ? name.substr(4) : L"\\\\?\\" + name.substr(4);
    }
    target = name;
    return true;
}

}  // namespace folderguard
