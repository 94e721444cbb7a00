#include "common/CodePage.h"

#include <windows.h>

namespace {

// Bytes of a code page as UTF-16; with MB_ERR_INVALID_CHARS in `flags`, false for bytes that
// are not valid in it.
bool ToWide(UINT codePage, DWORD flags, const std::string& text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    const int size = static_cast<int>(text.size());
    const int n = ::MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, flags, text.data(), size, &out[0], n);
    return true;
}

bool FromWide(UINT codePage, const std::wstring& text, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    const int size = static_cast<int>(text.size());
    const int n = ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), size, &out[0], n, nullptr, nullptr);
    return true;
}

}  // namespace

bool Utf8ToWide(const std::string& text, std::wstring& out, BadUtf8 bad) {
    return ToWide(CP_UTF8, bad == BadUtf8::Refuse ? MB_ERR_INVALID_CHARS : 0, text, out);
}

// Text that cannot be converted stays as it was.
std::string AnsiToUtf8(const std::string& text) {
    std::wstring wide;
    std::string out;
    return ToWide(CP_ACP, 0, text, wide) && FromWide(CP_UTF8, wide, out) ? out : text;
}

std::string Utf8ToAnsi(const std::string& text) {
    std::wstring wide;
    std::string out;
    return Utf8ToWide(text, wide, BadUtf8::Replace) && FromWide(CP_ACP, wide, out) ? out : text;
}

std::wstring AnsiToWide(const std::string& text) {
    std::wstring out;
    ToWide(CP_ACP, 0, text, out);
    return out;
}

std::string WideToAnsi(const std::wstring& text) {
    std::string out;
    FromWide(CP_ACP, text, out);
    return out;
}
