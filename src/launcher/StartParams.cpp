#include "launcher/StartParams.h"

#include <windows.h>

#include <cstring>

bool CopyTruncated(char* dst, size_t size, const char* src) {
    if (size == 0) return false;
    if (!src) src = "";
    size_t len = std::strlen(src);
    if (len < size) {
        std::memcpy(dst, src, len + 1);
        return true;
    }
    // Walk characters so that a double-byte character is never cut in half.
    size_t n = 0;
    while (n < len) {
        size_t step = (::IsDBCSLeadByte(static_cast<BYTE>(src[n])) && n + 1 < len) ? 2 : 1;
        if (n + step > size - 1) break;
        n += step;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return false;
}

void SplitStartParams(const char* text, StartParams& out) {
    out = StartParams{};
    char work[kStartParamBufferSize];
    CopyTruncated(work, sizeof(work), text);

    char* fields[6] = {};
    int count = 0;
    char* p = work;
    while (count < 6) {
        while (*p == '*') ++p;
        if (!*p) break;
        fields[count++] = p;
        while (*p && *p != '*') ++p;
        if (*p) *p++ = '\0';
    }

    if (fields[0]) CopyTruncated(out.field1, sizeof(out.field1), fields[0]);
    if (fields[1]) CopyTruncated(out.field2, sizeof(out.field2), fields[1]);
    if (fields[2]) CopyTruncated(out.field3, sizeof(out.field3), fields[2]);
    if (fields[3]) CopyTruncated(out.field4, sizeof(out.field4), fields[3]);
    if (fields[4]) CopyTruncated(out.field5, sizeof(out.field5), fields[4]);
    if (fields[5] && std::strlen(fields[5]) < sizeof(out.field6)) {
        std::memcpy(out.field6, fields[5], std::strlen(fields[5]) + 1);
    }
}
