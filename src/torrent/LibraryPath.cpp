#include "torrent/LibraryPath.h"

#include <utility>

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
    std::wstring w;
    Utf8ToWide(utf8, w, BadUtf8::Replace);
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    return ExtendedPath(std::move(w));
}
