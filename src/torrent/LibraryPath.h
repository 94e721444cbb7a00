// Paths as the library takes and gives them: UTF-8, and turned back into the system's form.
#pragma once
#include <string>

// An ANSI path as the library wants it: UTF-8, runs of separators folded into one (the
// library hands Windows "\\?\" paths, which are not normalised).
std::string ToLibraryPath(const std::string& ansiPath);
// A UTF-8 path of the library as a wide path, in the extended form when it is long.
std::wstring WidePath(const std::string& utf8);
