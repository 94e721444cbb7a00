// Narrow string in the ANSI code page, the part of the framework string the launcher uses.
#pragma once
#include <cstdarg>
#include <cstring>
#include <string>

class CString {
public:
    CString() = default;
    CString(const char* s) : m_s(s ? s : "") {}
    CString(const char* s, int n) : m_s(s ? s : "", s ? static_cast<size_t>(n) : 0) {}
    CString(const std::string& s) : m_s(s) {}

    CString& operator=(const char* s) { m_s = s ? s : ""; return *this; }
    CString& operator+=(const char* s) { m_s += s ? s : ""; return *this; }
    CString& operator+=(char c) { m_s += c; return *this; }
    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_s + b.m_s); }
    friend CString operator+(const char* a, const CString& b) { return CString(std::string(a ? a : "") + b.m_s); }
    friend CString operator+(const CString& a, const char* b) { return CString(a.m_s + (b ? b : "")); }

    operator const char*() const { return m_s.c_str(); }
    const char* GetString() const { return m_s.c_str(); }
    int GetLength() const { return static_cast<int>(m_s.size()); }
    bool IsEmpty() const { return m_s.empty(); }
    void Empty() { m_s.clear(); }
    int Compare(const char* s) const { return std::strcmp(m_s.c_str(), s ? s : ""); }
    friend bool operator==(const CString& a, const CString& b) { return a.m_s == b.m_s; }
    friend bool operator!=(const CString& a, const CString& b) { return a.m_s != b.m_s; }
    friend bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
    friend bool operator!=(const CString& a, const char* b) { return a.Compare(b) != 0; }

    void Format(const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        FormatV(fmt, ap);
        va_end(ap);
    }
    void FormatV(const char* fmt, va_list ap) {
        va_list copy;
        va_copy(copy, ap);
        int n = std::vsnprintf(nullptr, 0, fmt, copy);
        va_end(copy);
        if (n < 0) { m_s.clear(); return; }
        std::string out(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(&out[0], out.size(), fmt, ap);
        out.resize(static_cast<size_t>(n));
        m_s.swap(out);
    }

    const std::string& str() const { return m_s; }

private:
    std::string m_s;
};
