#include "core/maintenance/ProgramImage.h"

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

// The DOS header, the file and optional headers and a section table of any
// size a linker writes fit here.
constexpr DWORD kHeaderBytes = 4096;

bool Refuse(const std::wstring& path, const char* why) {
    LogMessage(L"ProgramImage: " + path + L" is not usable: " + Widen(why));
    return false;
}

}  // namespace

long long FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool IsComplete32BitImage(const std::wstring& path, ImageKind kind) {
    marlin::unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Refuse(path, "cannot be opened");
    const long long size = FileSizeOf(path);
    unsigned char header[kHeaderBytes] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), header, sizeof(header), &read, nullptr)) return Refuse(path, "cannot be read");

    IMAGE_DOS_HEADER dos;
    if (read < sizeof(dos)) return Refuse(path, "too short");
    memcpy(&dos, header, sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        static_cast<DWORD>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS32) > read) {
        return Refuse(path, "no image headers");
    }
    IMAGE_NT_HEADERS32 nt;
    memcpy(&nt, header + dos.e_lfanew, sizeof(nt));
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.FileHeader.Machine != IMAGE_FILE_MACHINE_I386 ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        return Refuse(path, "not a 32-bit x86 image");
    }
    const bool isLibrary = (nt.FileHeader.Characteristics & IMAGE_FILE_DLL) != 0;
    if (isLibrary != (kind == ImageKind::Library)) return Refuse(path, "a library where a program belongs, or the reverse");

    // A file cut short loses the data of its last sections first.
    const DWORD sections = static_cast<DWORD>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                           nt.FileHeader.SizeOfOptionalHeader;
    const DWORD count = nt.FileHeader.NumberOfSections;
    if (sections + count * sizeof(IMAGE_SECTION_HEADER) > read) return Refuse(path, "section table cut short");
    for (DWORD i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER section;
        memcpy(&section, header + sections + i * sizeof(section), sizeof(section));
        const long long end = static_cast<long long>(section.PointerToRawData) + section.SizeOfRawData;
        if (section.SizeOfRawData != 0 && end > size) return Refuse(path, "cut short");
    }

    if (kind == ImageKind::Program) {
        DWORD ignored = 0;
        if (GetFileVersionInfoSizeW(path.c_str(), &ignored) == 0) return Refuse(path, "no version resource");
    }
    return true;
}
