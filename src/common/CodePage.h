// Text between the ANSI code page (949 here), UTF-8 (the library's encoding) and UTF-16.
#pragma once
#include <string>

std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);
// UTF-8 or ANSI text as UTF-16; false for UTF-8 that is not valid.
bool Utf8ToWide(const std::string& text, std::wstring& out);
std::wstring AnsiToWide(const std::string& text);
// UTF-16 text in the ANSI code page (characters it lacks become its default character).
std::string WideToAnsi(const std::wstring& text);
