// The start parameter string: six '*'-separated fields.
#pragma once
#include <cstddef>

constexpr size_t kStartParamBufferSize = 2048;  // working copy, at most 2047 characters
constexpr size_t kFieldSize = 260;              // fields 1 to 4: at most 259 characters
constexpr size_t kUrlFieldChars = 255;          // field 5 is widened into room for 256 characters
constexpr size_t kVersionSize = 64;             // the game's version: at most 63 characters

struct StartParams {
    char relay1[kFieldSize] = {};     // fields 1, 2 and 4 mean nothing to the launcher: they are
    char relay2[kFieldSize] = {};     // handed on to the patcher
    char recordKey[kFieldSize] = {};  // field 3: registry key path of the installation record
    char relay4[kFieldSize] = {};
    char descriptionUrl[kUrlFieldChars + 1] = {};  // field 5: URL of the packed torrent description
    char startFlag[2] = {};  // field 6: "0" starts the patcher; a longer value is not kept
};

// Splits the text the way strtok does with the separator '*': runs of separators count as one,
// leading and trailing ones are skipped, an empty field cannot be expressed. Over-long texts and
// fields are cut at a character boundary of the ANSI code page; a field 6 longer than one
// character is left empty, so that only an exact "0" starts the patcher.
void SplitStartParams(const char* text, StartParams& out);

// Copies at most size-1 bytes of src into dst, never splitting a double-byte character of the
// ANSI code page, and terminates dst. Returns true when src fit completely.
bool CopyTruncated(char* dst, size_t size, const char* src);

// How many bytes from `p` on, at most `max`, lie in committed memory that may be read: a view of
// a mapping made by another process may have pages that are only reserved.
size_t ReadableBytes(const void* p, size_t max);

// The start parameter text in the first `size` bytes of `src` (all readable), copied to `out`
// (room for size + 1): up to the first NUL, or without one cut after the last whole character
// of the ANSI code page. Returns the text's length.
size_t CutStartParamText(const char* src, size_t size, char* out);
