// Helpers shared by the unit tests.
#pragma once
#include <windows.h>

#include <string>

// The Windows path of a stand-in program built beside the tests (a host path under Wine's Z:).
inline std::string StandinPath(const char* name) {
    std::string dir = STANDIN_DIR;
    std::string out = (dir.size() > 1 && dir[1] == ':') ? dir : "Z:" + dir;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out + "\\" + name;
}

// A fresh, empty folder for one test, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char base[MAX_PATH];
        ::GetTempPathA(MAX_PATH, base);
        char name[MAX_PATH];
        ::GetTempFileNameA(base, "mir", 0, name);
        ::DeleteFileA(name);
        ::CreateDirectoryA(name, nullptr);
        m_path = name;
    }
    ~TempDir() { Remove(m_path); }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& child) const { return m_path + "\\" + child; }

    static void Remove(const std::string& dir) {
        WIN32_FIND_DATAA fd;
        HANDLE h = ::FindFirstFileA((dir + "\\*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::string n = fd.cFileName;
                if (n == "." || n == "..") continue;
                std::string p = dir + "\\" + n;
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(p);
                else
                    ::DeleteFileA(p.c_str());
            } while (::FindNextFileA(h, &fd));
            ::FindClose(h);
        }
        ::RemoveDirectoryA(dir.c_str());
    }

private:
    std::string m_path;
};

inline bool ReadBytes(const std::string& path, std::string& out) {
    out.clear();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buf[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(h, buf, sizeof(buf), &got, nullptr) != FALSE) && got) out.append(buf, got);
    ::CloseHandle(h);
    return ok;
}

inline bool WriteBytes(const std::string& path, const std::string& data) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) && written == data.size();
    ::CloseHandle(h);
    return ok;
}

inline bool IsDirectory(const std::string& p) {
    DWORD a = ::GetFileAttributesA(p.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
