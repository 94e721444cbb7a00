#include "torrent/LibraryPath.h"

#include <utility>

#include <windows.h>

#include "common/CodePage.h"
#include "common/FilePaths.h"

std::string ToLibraryPath(const std::string& ansiPath) {
    std::string folded;
    folded.reserve(ansiPath.size());
    for (size_t i = 0; i < ansiPath.size(); ++i) {
        char c = ansiPath[i] == '/' ? '\\' : ansiPath[i];
        // A leading "\\" (a network path) stays; elsewhere a run of separators is one.
        // No trail byte of code page 949 is a backslash, so this never splits a character.
        if (c == '\\' && i > 1 && !folded.empty() && folded.back() == '\\') continue;
        folded.push_back(c);
    }
    return AnsiToUtf8(folded);
}

std::wstring WidePath(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    return ExtendedPath(std::move(w));
}
