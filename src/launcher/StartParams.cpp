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

    if (fields[0]) CopyTruncated(out.relay1, sizeof(out.relay1), fields[0]);
    if (fields[1]) CopyTruncated(out.relay2, sizeof(out.relay2), fields[1]);
    if (fields[2]) CopyTruncated(out.recordKey, sizeof(out.recordKey), fields[2]);
    if (fields[3]) CopyTruncated(out.relay4, sizeof(out.relay4), fields[3]);
    if (fields[4]) CopyTruncated(out.descriptionUrl, sizeof(out.descriptionUrl), fields[4]);
    if (fields[5] && std::strlen(fields[5]) < sizeof(out.startFlag)) {
        std::memcpy(out.startFlag, fields[5], std::strlen(fields[5]) + 1);
    }
}

size_t ReadableBytes(const void* p, size_t max) {
    const char* base = static_cast<const char*>(p);
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    size_t n = 0;
    while (n < max) {
        MEMORY_BASIC_INFORMATION mbi{};
        if (!::VirtualQuery(base + n, &mbi, sizeof(mbi))) break;
        if (mbi.State != MEM_COMMIT || (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS)) || !(mbi.Protect & kReadable)) break;
        size_t end = static_cast<size_t>(static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize - base);
        if (end <= n) break;
        n = end < max ? end : max;
    }
    return n;
}

size_t CutStartParamText(const char* src, size_t size, char* out) {
    size_t n = 0;
    while (n < size && src[n]) ++n;
    if (n == size) {
        size_t whole = 0;
        for (size_t i = 0; i < n;) {
            size_t step = ::IsDBCSLeadByte(static_cast<BYTE>(src[i])) ? 2 : 1;
            if (i + step > n) break;
            i += step;
            whole = i;
        }
        n = whole;
    }
    std::memcpy(out, src, n);
    out[n] = '\0';
    return n;
}
