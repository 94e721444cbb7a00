// Wide paths in the system's forms, and the folders they need.
#pragma once
#include <string>

// The full, normalised form of a path; empty when it cannot be formed.
std::wstring FullPath(const std::wstring& path);
// A full wide path in the extended form when it is long: where the writes go, whatever the length.
std::wstring ExtendedPath(std::wstring path);

// `path` without the separators ('\\' or '/') at its end, but never shorter than a drive's
// root ("C:\\"): opened without them, a folder is itself and not what a link there leads to.
std::string WithoutTrailingSeparators(std::string path);
std::wstring WithoutTrailingSeparators(std::wstring path);

// Creates every missing folder above `path`.
bool CreateParents(const std::wstring& path);
