// Files read whole (session state, resume data): small, and bounded so that a broken one cannot
// take the address space.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

constexpr LONGLONG kMaxWholeFileSize = 64LL * 1024 * 1024;

// Reads a whole file, up to `maxSize` bytes; false when it cannot be opened or read, or is larger.
bool ReadWholeFileW(const std::wstring& path, std::vector<char>& buffer, LONGLONG maxSize = kMaxWholeFileSize);
bool ReadWholeFile(const std::string& ansiPath, std::vector<char>& buffer);
