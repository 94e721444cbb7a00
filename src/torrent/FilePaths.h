// The library's UTF-8 paths in the system's form, and the folders they need.
#pragma once
#include <string>

// A UTF-8 path of the library as a wide path, in the extended form when it is long.
std::wstring WidePath(const std::string& utf8);
// A full wide path in the extended form when it is long: where the writes go, whatever the length.
std::wstring ExtendedPath(std::wstring path);

// Creates every missing folder above `path`.
bool CreateParents(const std::wstring& path);
