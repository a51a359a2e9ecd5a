#include "core/util/Text.h"

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

std::string WideToUtf8(const std::wstring& text) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (needed == 0) return "<Widestring to UTF-8 conversion failed>";
    std::vector<char> buffer(static_cast<size_t>(needed) + 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), buffer.data(), needed,
                        nullptr, nullptr);
    return std::string(buffer.data());
}

std::wstring Utf8ToWide(const std::string& text) {
    std::wstring wide;
    Utf8ToWideInto(text, wide);
    return wide;
}

void Utf8ToWideInto(const std::string& text, std::wstring& out) {
    // The input is taken as NUL-terminated: anything after a NUL byte is not decoded.
    const size_t length = strlen(text.c_str());
    // Plain ASCII (commands, base64 data) is its own UTF-16: no conversion
    // call, the same result.
    size_t ascii = 0;
    while (ascii < length && static_cast<unsigned char>(text[ascii]) < 0x80) ++ascii;
    if (ascii == length) {
        // Unit by unit: assign() from char iterators would build a temporary copy first.
        out.resize(length);
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<wchar_t>(text[i]);
        return;
    }
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(length), nullptr, 0);
    if (needed == 0) {
        out.assign(L"<UTF-8 to widestring conversion failed>");
        return;
    }
    out.assign(static_cast<size_t>(needed), L'\0');
    const int converted = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(length), &out[0], needed);
    if (converted != needed) out.assign(L"Error!");
}

std::wstring Widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text) out.push_back(static_cast<wchar_t>(c));
    return out;
}

void AppendUtf8AsLatin1(std::string& out, const char* bytes, size_t size) {
    constexpr size_t kPiece = 64 * 1024;
    const auto byteAt = [bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::wstring wide;
    size_t i = 0;
    while (i < size) {
        size_t end = i;
        while (end < size && byteAt(end) < 0x80) ++end;  // ASCII is its own Latin-1
        out.append(bytes + i, end - i);
        i = end;
        if (i == size) break;
        // Up to the next ASCII byte, which always begins a character; a long
        // run is cut before a byte that is not a continuation byte, so no
        // character is split between two conversions.
        while (end < size && byteAt(end) >= 0x80 && end - i < kPiece) ++end;
        if (end < size && byteAt(end) >= 0x80) {
            size_t cut = end;
            while (cut > i && (byteAt(cut) & 0xC0) == 0x80) --cut;
            if (cut > i) end = cut;
        }
        const int length = static_cast<int>(end - i);
        const int needed = MultiByteToWideChar(CP_UTF8, 0, bytes + i, length, nullptr, 0);
        if (needed > 0) {
            wide.resize(static_cast<size_t>(needed));
            MultiByteToWideChar(CP_UTF8, 0, bytes + i, length, &wide[0], needed);
            for (wchar_t c : wide) out.push_back(ToLatin1(c));
        }
        i = end;
    }
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) out.push_back(ToLatin1(c));
    return out;
}

std::wstring EscapePercent(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 8);
    for (wchar_t c : text) {
        out.push_back(c);
        if (c == L'%') out.push_back(L'%');
    }
    return out;
}

bool StartsWith(const std::wstring& prefix, const std::wstring& text) {
    if (prefix.size() > text.size()) return false;
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

bool IsBlank(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c == L'\0') break;
        if (c != L' ') return false;
    }
    return true;
}

std::wstring SplitFileName(std::wstring& path) {
    const size_t i = path.rfind(L'\\');
    if (i == std::wstring::npos) {
        std::wstring name = path;
        path.clear();
        return name;
    }
    std::wstring name = path.substr(i + 1);
    path.erase(i);
    return name;
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring ToWideString(int value) { return std::to_wstring(value); }

std::string ToNarrowString(int value) { return std::to_string(value); }

std::wstring CrtErrorText() {
    const wchar_t* message = _wcserror(errno);
    if (message == nullptr || *message == L'\0') return L"Unknown error.";
    std::wstring text(message);
    if (text.size() > 512) text.resize(512);
    return text;
}
