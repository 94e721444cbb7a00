// Text between the ANSI code page (949 here), UTF-8 (the library's encoding) and UTF-16.
#pragma once
#include <string>

std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);
// What a conversion from UTF-8 does with bytes that are not valid UTF-8.
enum class BadUtf8 {
    Refuse,   // the conversion fails
    Replace,  // each broken sequence becomes U+FFFD
};
// UTF-8 text as UTF-16: the one conversion from UTF-8, which every other use of it calls.
// False when the text is not valid UTF-8 and `bad` refuses it.
bool Utf8ToWide(const std::string& text, std::wstring& out, BadUtf8 bad = BadUtf8::Refuse);
std::wstring AnsiToWide(const std::string& text);
// UTF-16 text in the ANSI code page (characters it lacks become its default character).
std::string WideToAnsi(const std::wstring& text);
