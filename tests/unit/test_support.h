// Helpers shared by the unit tests.
#pragma once
#include <windows.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/CodePage.h"
#include "framework/handles.h"
#include "launcher/DownloadFolder.h"

// The Windows path of a host path (under Wine's Z:); a Windows path stays as it is.
inline std::string HostToWindows(std::string path) {
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// What this build made for the tests (build_paths.cpp): the stand-ins' folder, the test HTTP
// server's folder, the packer, and the test publisher key's secret file and public key.
extern const char* const kStandinDir;
extern const char* const kHttpTestServerDir;
extern const char* const kNdnpackExe;
extern const char* const kTestPublisherSecret;
extern const char* const kTestPublisherKeyHex;

// The Windows path of a stand-in program built beside the tests.
inline std::string StandinPath(const char* name) { return HostToWindows(kStandinDir) + "\\" + name; }

// The names in a folder, without "." and "..".
inline std::vector<std::string> FolderEntries(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..") names.push_back(n);
    } while (::FindNextFileA(h, &fd));
    ::FindClose(h);
    return names;
}

// Polls `done` until it holds or `timeoutMs` has passed; the result of the last poll.
inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A fresh, empty folder for one test, removed with everything in it at the end. The empty file
// GetTempFileName makes keeps the name taken, in every process, while the folder beside it lives.
class TempDir {
public:
    TempDir() {
        char base[MAX_PATH];
        if (!::GetTempPathA(MAX_PATH, base)) throw std::runtime_error("no temporary folder");
        for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
            char name[MAX_PATH];
            if (!::GetTempFileNameA(base, "mir", 0, name)) break;
            if (::CreateDirectoryA((std::string(name) + ".d").c_str(), nullptr)) {
                m_reserved = name;
                m_path = m_reserved + ".d";
            } else {
                ::DeleteFileA(name);
            }
        }
        if (m_path.empty()) throw std::runtime_error("cannot make a temporary folder");
    }
    ~TempDir() {
        Remove(m_path);
        ::DeleteFileA(m_reserved.c_str());
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& child) const { return m_path + "\\" + child; }

    // Read-only files go as well.
    static void Remove(const std::string& dir) {
        for (const std::string& n : FolderEntries(dir)) {
            std::string p = dir + "\\" + n;
            DWORD a = ::GetFileAttributesA(p.c_str());
            if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
                Remove(p);
            } else {
                ::SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(p.c_str());
            }
        }
        ::RemoveDirectoryA(dir.c_str());
    }

private:
    std::string m_reserved;
    std::string m_path;
};

// A record of taken releases (ReleaseStore) of its own for one test, under HKEY_CURRENT_USER,
// gone at the start and at the end.
class TestReleaseStoreKey {
public:
    TestReleaseStoreKey() {
        static int made = 0;
        m_key = "Software\\Mirel Online Tests\\Releases " + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(++made);
        Remove();
    }
    ~TestReleaseStoreKey() { Remove(); }
    TestReleaseStoreKey(const TestReleaseStoreKey&) = delete;
    TestReleaseStoreKey& operator=(const TestReleaseStoreKey&) = delete;
    const std::string& key() const { return m_key; }
    void Remove() const {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, m_key.c_str());
        ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Mirel Online Tests");  // only once it is empty
    }

private:
    std::string m_key;
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

// The host's name for a path (Wine's mapping), the last component as given.
inline std::string UnixPath(const std::string& path) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
    const size_t slash = path.find_last_of('\\');
    char* dir = toUnix ? toUnix(AnsiToWide(path.substr(0, slash)).c_str()) : nullptr;
    if (!dir) return std::string();
    std::string out = std::string(dir) + "/" + path.substr(slash + 1);
    ::HeapFree(::GetProcessHeap(), 0, dir);
    return out;
}

// Runs a program of the host: what Windows programs under Wine cannot do themselves (make a
// symbolic link, give a folder the mode an earlier version left). Wine does not wait for a host
// program: `done` tells when it has had its effect.
inline bool RunOnHost(const std::string& program, const std::vector<std::string>& args, const std::function<bool()>& done) {
    std::string command = "start.exe /wait /unix " + program;
    for (const std::string& a : args) command += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    ::WaitForSingleObject(pi.hProcess, 30000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return WaitUntil(done, 10000);
}

inline bool MakeHostLink(const std::string& target, const std::string& link) {
    return RunOnHost("/bin/ln", {"-s", UnixPath(target), UnixPath(link)},
                     [&] { return ::GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// Everyone may write it, as in a folder of an earlier version (Wine keeps access lists as modes).
inline bool OpenToEveryone(const std::string& path) {
    return RunOnHost("/bin/chmod", {"777", UnixPath(path)}, [&] {
        UniqueKernelHandle h(OpenFolderHeld(path));
        return h && ReadFolderTrust(h.get()).othersWrite;
    });
}
