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

// An update replaces this very program and its hook library, which is loaded
// into processes of the same width, so it must be built for the same machine
// as this program.
#ifdef _WIN64
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD kOwnOptionalHeader = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
constexpr DWORD kOwnHeadersSize = sizeof(IMAGE_NT_HEADERS64);
#else
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
constexpr WORD kOwnOptionalHeader = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
constexpr DWORD kOwnHeadersSize = sizeof(IMAGE_NT_HEADERS32);
#endif

// The part of the image headers both widths share: the signature, the file
// header and the optional header's first field, which tells the width.
struct ImageHeaderStart {
    DWORD signature;
    IMAGE_FILE_HEADER file;
    WORD optionalMagic;
};
constexpr DWORD kOptionalHeaderOffset = sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
static_assert(offsetof(ImageHeaderStart, optionalMagic) == kOptionalHeaderOffset, "headers are packed");
static_assert(offsetof(IMAGE_NT_HEADERS32, OptionalHeader) == kOptionalHeaderOffset &&
                  offsetof(IMAGE_NT_HEADERS64, OptionalHeader) == kOptionalHeaderOffset,
              "both widths start their optional header at the same place");

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

bool IsCompleteImage(const std::wstring& path, ImageKind kind) {
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
        static_cast<DWORD>(dos.e_lfanew) + kOwnHeadersSize > read) {
        return Refuse(path, "no image headers");
    }
    ImageHeaderStart nt;
    memcpy(&nt, header + dos.e_lfanew, sizeof(nt));
    if (nt.signature != IMAGE_NT_SIGNATURE || nt.file.Machine != kOwnMachine ||
        nt.optionalMagic != kOwnOptionalHeader) {
        return Refuse(path, "not an image for this machine");
    }
    const bool isLibrary = (nt.file.Characteristics & IMAGE_FILE_DLL) != 0;
    if (isLibrary != (kind == ImageKind::Library)) return Refuse(path, "a library where a program belongs, or the reverse");

    // A file cut short loses the data of its last sections first.
    const DWORD sections = static_cast<DWORD>(dos.e_lfanew) + kOptionalHeaderOffset + nt.file.SizeOfOptionalHeader;
    const DWORD count = nt.file.NumberOfSections;
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
