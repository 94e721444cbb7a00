// CHttpDownload through the real WinInet against the loopback test server
// (tests/servers/httpserver.py, started by the http_server ctest fixture). Every request of a test
// carries a query token of its own, so the test can find what it sent in the server's log.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <psapi.h>

#include "download/HttpDownload.h"
#include "framework/afxwin.h"
#include "test_support.h"

namespace {

// What a test reads back where no file is.
const char kNoFile[] = "<no file>";

// ---- files and folders ---------------------------------------------------------------------

// A host path as Wine sees it (the Z: drive maps the host's root).
std::string ServerDir() {
    if (const char* env = std::getenv("MIREL_HTTP_SERVER_DIR")) return HostToWindows(env);
    return HostToWindows(kHttpTestServerDir);
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// ---- the server's request log --------------------------------------------------------------

// One field of a JSON log line written by the test server: a string (unescaped), or the raw
// token of a literal (true, false, null, a number). Missing keys give "<missing>".
std::string JsonField(const std::string& line, const std::string& key) {
    std::string pat = "\"" + key + "\":";
    size_t p = line.find(pat);
    if (p == std::string::npos) return "<missing>";
    p += pat.size();
    if (p < line.size() && line[p] == '"') {
        std::string out;
        for (++p; p < line.size() && line[p] != '"'; ++p) {
            if (line[p] == '\\' && p + 1 < line.size()) {
                char e = line[++p];
                if (e == 'u' && p + 4 < line.size()) {
                    out += static_cast<char>(std::strtol(line.substr(p + 1, 4).c_str(), nullptr, 16));
                    p += 4;
                } else {
                    out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            } else {
                out += line[p];
            }
        }
        return out;
    }
    size_t end = line.find_first_of(",}", p);
    return line.substr(p, end == std::string::npos ? std::string::npos : end - p);
}

// ---- loopback helpers ----------------------------------------------------------------------

// A loopback port that nothing listens on: bound once by us, then released.
int ClosedPort() {
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 0;
    int port = 0;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof(a);
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::closesocket(s);
    }
    ::WSACleanup();
    return port;
}

// ---- the credentials prompt ----------------------------------------------------------------

// Answers the credentials prompts that WinInet shows on the test thread, from a timer of that
// same thread: the prompt's modal loop dispatches the timer, so every call reaches the prompt
// directly and no other thread takes part. Each prompt takes the next scripted answer; prompts
// beyond the script are cancelled and counted.
class PromptDriver {
public:
    struct Answer {
        bool ok;  // true: fill in the credentials and press OK; false: press Cancel
        const char* user;
        const char* password;
    };

    explicit PromptDriver(std::vector<Answer> script) : m_script(std::move(script)) {
        s_current = this;
        m_timer = ::SetTimer(nullptr, 0, 20, Tick);
    }
    ~PromptDriver() {
        ::KillTimer(nullptr, m_timer);
        s_current = nullptr;
    }

    int prompts = 0;      // prompts seen
    int unexpected = 0;   // prompts beyond the script (cancelled)
    int editsFilled = 0;  // edit controls given a text
    std::vector<std::string> failures;

private:
    static BOOL CALLBACK FindDialog(HWND h, LPARAM lp) {
        char cls[64] = {};
        ::GetClassNameA(h, cls, sizeof(cls));
        if (std::strcmp(cls, "#32770") == 0 && ::IsWindowVisible(h)) {
            *reinterpret_cast<HWND*>(lp) = h;
            return FALSE;
        }
        return TRUE;
    }

    struct Edits {
        HWND user = nullptr;
        HWND password = nullptr;
    };

    static BOOL CALLBACK FindEdits(HWND h, LPARAM lp) {
        auto* e = reinterpret_cast<Edits*>(lp);
        char cls[64] = {};
        ::GetClassNameA(h, cls, sizeof(cls));
        if (lstrcmpiA(cls, "Edit") != 0 || !::IsWindowVisible(h)) return TRUE;
        if (::GetWindowLongA(h, GWL_STYLE) & ES_PASSWORD) {
            if (!e->password) e->password = h;
        } else if (!e->user) {
            e->user = h;
        }
        return TRUE;
    }

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (s_current) s_current->Answer1();
    }

    void Answer1() {
        HWND dlg = nullptr;
        ::EnumThreadWindows(::GetCurrentThreadId(), FindDialog, reinterpret_cast<LPARAM>(&dlg));
        // A prompt already answered stays visible until its modal loop takes the answer.
        if (!dlg || dlg == m_answered) return;
        m_answered = dlg;
        ++prompts;
        bool scripted = m_next < m_script.size();
        Answer a = scripted ? m_script[m_next++] : Answer{false, nullptr, nullptr};
        if (!scripted) ++unexpected;
        if (a.ok) {
            Edits e;
            ::EnumChildWindows(dlg, FindEdits, reinterpret_cast<LPARAM>(&e));
            if (!e.user || !e.password) failures.push_back("the prompt has no user name and password fields");
            if (e.user && ::SendMessageA(e.user, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a.user))) ++editsFilled;
            if (e.password && ::SendMessageA(e.password, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a.password)))
                ++editsFilled;
        }
        ::PostMessageA(dlg, WM_COMMAND, a.ok ? IDOK : IDCANCEL, 0);
    }

    static PromptDriver* s_current;
    std::vector<Answer> m_script;
    size_t m_next = 0;
    HWND m_answered = nullptr;
    UINT_PTR m_timer = 0;
};
PromptDriver* PromptDriver::s_current = nullptr;

// ---- a proxy for this process ---------------------------------------------------------------

// Wine's WinInet takes the proxy of a session opened with INTERNET_OPEN_TYPE_PRECONFIG from the
// http_proxy variable of its C runtime when the registry names none. Setting it there, and only
// in this process, leaves other tests running in the same prefix alone.
class ProxyEnvironment {
public:
    explicit ProxyEnvironment(const std::string& proxy) {
        if (proxy.empty()) return;
        HMODULE crt = ::GetModuleHandleA("ucrtbase.dll");
        if (!crt) crt = ::LoadLibraryA("ucrtbase.dll");
        m_putenv = crt ? reinterpret_cast<PutEnv>(reinterpret_cast<void*>(::GetProcAddress(crt, "_putenv"))) : nullptr;
        if (!m_putenv) {
            ok = false;
            error = "the C runtime of WinInet (ucrtbase) has no _putenv";
            return;
        }
        std::string setting = "http_proxy=" + proxy;
        ok = m_putenv(setting.c_str()) == 0;
        if (!ok) error = "cannot set " + setting;
    }
    ~ProxyEnvironment() {
        if (m_putenv) m_putenv("http_proxy=");
    }
    bool ok = true;
    std::string error;

private:
    typedef int(__cdecl* PutEnv)(const char*);
    PutEnv m_putenv = nullptr;
};

// ---- the fixture ---------------------------------------------------------------------------

class HttpDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_serverDir = ServerDir();
        std::string text;
        ASSERT_TRUE(ReadBytes(m_serverDir + "\\port", text))
            << "no test server: its port file is missing in " << m_serverDir
            << " (the http_server ctest fixture starts it: tests/servers/httpserver.py)";
        m_port = std::atoi(text.c_str());
        ASSERT_GT(m_port, 0) << "bad port file: " << text;

        static int counter = 0;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        char token[200];
        std::snprintf(token, sizeof(token), "%s-%lu-%d-%lu", info->name(), ::GetCurrentProcessId(), ++counter,
                      ::GetTickCount());
        m_token = token;
        for (char& c : m_token)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';

        m_folder = m_tmp.path();

        // The files the server serves are the ones the stored bytes are compared with.
        ASSERT_TRUE(ServedFile("hello.txt", m_hello)) << "the test server's files are missing";
    }
    void TearDown() override {
        if (m_owner) ::DestroyWindow(m_owner);
    }

    bool ServedFile(const std::string& name, std::string& data) {
        return ReadBytes(m_serverDir + "\\files\\" + name, data);
    }
    // The platform keeps Basic credentials that worked for a host for the rest of the process,
    // so the one test that logs in uses another name for the server than all the others.
    std::string Base(const char* host = "127.0.0.1") const {
        return std::string("http://") + host + ":" + std::to_string(m_port);
    }
    // A path on the server, marked with this test's token.
    std::string Object(const std::string& path) const { return path + "?t=" + m_token; }
    std::string Url(const std::string& path, const char* host = "127.0.0.1") const { return Base(host) + Object(path); }
    // What the downloader writes; Mirel.ndn itself is the unpacker's to replace, never the fetch's.
    std::string Target() const { return m_folder + "\\Mirel.fetch"; }
    std::string Description() const { return m_folder + "\\Mirel.ndn"; }
    // A TLS port of the test server (port-tls, port-untrusted, port-wrongname): only inside the
    // sandbox, which makes the test certificates and has Wine trust the test CA.
    int TlsPort(const char* name) const {
        std::string text;
        if (!ReadBytes(m_serverDir + "\\" + name, text)) return 0;
        return std::atoi(text.c_str());
    }
    std::string SecureUrl(const std::string& path, const char* portName = "port-tls") const {
        return "https://localhost:" + std::to_string(TlsPort(portName)) + Object(path);
    }
    // A URL on a host that does not resolve: reachable only through the test server as proxy.
    std::string ProxiedUrl(const std::string& path) const { return "http://mirel-origin.invalid" + Object(path); }

    // The log lines of the requests that carried this test's token.
    std::vector<std::string> Requests() const {
        std::string log;
        ReadBytes(m_serverDir + "\\requests.log", log);
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find('\n', start);
            if (end == std::string::npos) end = log.size();
            std::string line = log.substr(start, end - start);
            if (line.find(m_token) != std::string::npos) lines.push_back(line);
            start = end + 1;
        }
        return lines;
    }

    // A hidden top-level window to own the credentials prompt.
    HWND* Owner() {
        if (!m_owner)
            m_owner = ::CreateWindowExA(0, "STATIC", "downloader test owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                        ::GetModuleHandleA(nullptr), nullptr);
        return &m_owner;
    }

    CString Fetch(const std::string& url, std::string* stored = nullptr, bool withOwner = false) {
        CHttpDownload d;
        d.SetURL(Widen(url).c_str());
        d.SetDownloadFolder(m_folder.c_str());
        if (withOwner) d.SetOwner(*Owner());
        const std::string earlier = "an earlier run's description";
        EXPECT_TRUE(WriteBytes(Description(), earlier));
        CString r = d.Download();
        m_lastUrl = d.GetFetchedURL();
        m_lastFilePath = d.GetFilePath();
        std::string description;
        EXPECT_TRUE(ReadBytes(Description(), description) && description == earlier) << "Mirel.ndn was touched";
        ::DeleteFileA(Description().c_str());
        if (stored && !ReadBytes(Target(), *stored)) stored->assign(kNoFile);
        return r;
    }

    std::string m_serverDir;
    int m_port = 0;
    std::string m_token;
    TempDir m_tmp;
    std::string m_folder;
    std::string m_hello;
    HWND m_owner = nullptr;
    std::string m_lastUrl;
    std::string m_lastFilePath;
};

// Peak memory of this process, for the figures the bounded fetches print.
size_t PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc)) ? pmc.PeakWorkingSetSize : 0;
}

std::string Failure7(int status) { return "Download Failed No:7, Status Code:" + std::to_string(status) + "\n"; }

}  // namespace

// ---- successful downloads ------------------------------------------------------------------

TEST_F(HttpDownloadTest, StoresTheBodyByteForByte) {
    struct Case {
        const char* path;  // on the server
        const char* file;  // the file it serves
    };
    const Case cases[] = {
        {"/files/hello.txt", "hello.txt"},
        {"/files/empty.bin", "empty.bin"},
        {"/files/r1.bin", "r1.bin"},
        {"/files/r1023.bin", "r1023.bin"},
        {"/files/r1024.bin", "r1024.bin"},
        {"/files/r1025.bin", "r1025.bin"},
        {"/files/r65537.bin", "r65537.bin"},
        {"/files/big.bin", "big.bin"},
        {"/noclen/big.bin", "big.bin"},       // no Content-Length: the body ends when the server closes
        {"/chunked/r65537.bin", "r65537.bin"},
        {"/slow/slow.bin", "slow.bin"},       // small pieces with pauses between them
        {"/redirect/r4096.bin", "r4096.bin"}, // 302 followed by the platform
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string expected, stored;
        ASSERT_TRUE(ServedFile(c.file, expected));
        // A stale file of the same name is replaced, never appended to.
        ASSERT_TRUE(WriteBytes(Target(), "stale content from an earlier run"));
        EXPECT_STREQ(Fetch(Url(c.path), &stored), "");
        EXPECT_EQ(stored.size(), expected.size());
        EXPECT_TRUE(stored == expected) << "stored bytes differ from the served file";
        EXPECT_EQ(m_lastFilePath, m_folder + "\\Mirel.fetch");
    }
    EXPECT_EQ(FolderEntries(m_folder), std::vector<std::string>{"Mirel.fetch"});
}

TEST_F(HttpDownloadTest, SendsOneUncachedHttp11GetOfTheObjectWithQuery) {
    std::string stored;
    ASSERT_STREQ(Fetch(Url("/files/hello.txt") + "&x=1%202", &stored), "");
    EXPECT_EQ(stored, m_hello);
    auto reqs = Requests();
    ASSERT_EQ(reqs.size(), 1u);
    const std::string& r = reqs[0];
    EXPECT_EQ(JsonField(r, "method"), "GET");
    EXPECT_EQ(JsonField(r, "target"), Object("/files/hello.txt") + "&x=1%202");
    EXPECT_EQ(JsonField(r, "version"), "HTTP/1.1");
    EXPECT_EQ(JsonField(r, "host"), "127.0.0.1:" + std::to_string(m_port));
    EXPECT_EQ(JsonField(r, "auth"), "false");
    EXPECT_EQ(JsonField(r, "proxy_auth"), "false");

    // Nothing is served from the platform's cache: the same download again reaches the server.
    ASSERT_STREQ(Fetch(Url("/files/hello.txt") + "&x=1%202", &stored), "");
    EXPECT_EQ(Requests().size(), 2u);
}

TEST_F(HttpDownloadTest, UserAgentIsTheApplicationName) {
    {
        // No application object (as in this test program): the name is empty.
        ASSERT_EQ(AfxGetApp(), nullptr);
        std::string stored;
        ASSERT_STREQ(Fetch(Url("/files/hello.txt"), &stored), "");
        auto reqs = Requests();
        ASSERT_EQ(reqs.size(), 1u);
        std::string ua = JsonField(reqs[0], "ua");
        EXPECT_TRUE(ua == "" || ua == "null") << "an empty application name gave the user agent " << ua;
    }
    {
        CWinApp app("MirelAgentTest");
        ASSERT_STREQ(AfxGetAppName(), "MirelAgentTest");
        ASSERT_STREQ(Fetch(Url("/files/r50.bin")), "");
        auto reqs = Requests();
        ASSERT_EQ(reqs.size(), 2u);
        EXPECT_EQ(JsonField(reqs[1], "ua"), "MirelAgentTest");
    }
}

// A body that ends before its stated length is a failure, however the platform reports the end
// (an early end, or a reset), and what arrived is not kept.
TEST_F(HttpDownloadTest, BodyShorterThanAnnouncedFailsAndLeavesNothing) {
    struct Case {
        const char* path;
        int error;  // 0: whatever the platform reports
    };
    const Case cases[] = {{"/short/r4096.bin", ERROR_INTERNET_CONNECTION_RESET}, {"/reset/big.bin", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string stored;
        CString r = Fetch(Url(c.path), &stored);
        const std::string prefix = "Download Failed No:8, Error:";
        if (c.error)
            EXPECT_EQ(std::string(r), prefix + std::to_string(c.error) + "\n");
        else
            EXPECT_EQ(std::string(r).rfind(prefix, 0), 0u) << r.GetString();
        EXPECT_EQ(stored, kNoFile);
    }
}

// ---- failures ------------------------------------------------------------------------------

TEST_F(HttpDownloadTest, StatusOtherThanOkFailsWithItsNumberAndLeavesAnEmptyFile) {
    struct Case {
        const char* path;
        int status;
    };
    const Case cases[] = {
        {"/files/no-such-file.bin", 404},
        {"/status/404", 404},
        {"/status/500", 500},
        {"/status/403", 403},
        {"/status/503", 503},
        {"/status/204", 204},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(WriteBytes(Target(), "old content"));
        std::string stored;
        EXPECT_STREQ(Fetch(Url(c.path), &stored), Failure7(c.status).c_str());
        EXPECT_EQ(stored, kNoFile) << "a failed fetch leaves nothing";
    }
    EXPECT_EQ(Requests().size(), sizeof(cases) / sizeof(cases[0]));
}

TEST_F(HttpDownloadTest, UnparseableUrlFailsBeforeTouchingAnything) {
    struct Case {
        std::string url;
        std::string prefixed;
    };
    const Case cases[] = {
        {"", "http://"},
        {"/files/hello.txt", "http:///files/hello.txt"},
        {"?only=query", "http://?only=query"},
        {"#fragment", "http://#fragment"},
        {":8080/files/hello.txt", "http://:8080/files/hello.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("url '" + c.url + "'");
        ASSERT_TRUE(WriteBytes(Target(), "keep me"));
        std::string stored;
        EXPECT_EQ(std::string(Fetch(c.url, &stored)), "URL parse Failed : " + c.prefixed + "\n");
        EXPECT_EQ(m_lastUrl, c.prefixed);
        EXPECT_EQ(stored, "keep me") << "the target file was touched";
    }
    ::DeleteFileA(Target().c_str());
    EXPECT_STREQ(Fetch("/files/hello.txt"), "URL parse Failed : http:///files/hello.txt\n");
    EXPECT_TRUE(FolderEntries(m_folder).empty()) << "no file may be created";
}

TEST_F(HttpDownloadTest, OverlongParseFailureMessageIsCutTo259Characters) {
    std::string url = "/" + std::string(600, 'a') + "/Mirel.ndn";
    std::string full = "URL parse Failed : http://" + url + "\n";
    CString r = Fetch(url);
    ASSERT_EQ(r.GetLength(), 259);
    EXPECT_EQ(std::string(r), full.substr(0, 259));
    EXPECT_EQ(m_lastUrl, "http://" + url);
}

TEST_F(HttpDownloadTest, TargetThatCannotBeCreatedFailsWithTheSystemError) {
    struct Case {
        const char* sub;  // folder below the test folder handed to the downloader
        bool makeTargetADirectory;
        DWORD systemError;  // what creating the file gives on this system
    };
    const Case cases[] = {
        {"\\missing", false, ERROR_PATH_NOT_FOUND},
        {"\\missing\\deeper", false, ERROR_PATH_NOT_FOUND},
        {"", true, ERROR_ACCESS_DENIED},  // the fetch's file is a folder
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sub);
        std::string folder = m_folder + c.sub;
        std::string target = folder + "\\Mirel.fetch";
        if (c.makeTargetADirectory) {
            ASSERT_TRUE(::CreateDirectoryA(target.c_str(), nullptr));
        }
        // The same creation the downloader makes, to learn this system's error for it.
        HANDLE h = ::CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD err = ::GetLastError();
        ASSERT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(err, c.systemError);

        CHttpDownload d;
        d.SetURL(Widen(Url("/files/hello.txt")).c_str());
        d.SetDownloadFolder(folder.c_str());
        EXPECT_EQ(std::string(d.Download()), "Download Failed No:2, Error:" + std::to_string(err) + "\n");
        if (c.makeTargetADirectory) ::RemoveDirectoryA(target.c_str());
    }
    EXPECT_TRUE(Requests().empty()) << "no request may be sent without a target file";
}

TEST_F(HttpDownloadTest, ClosedPortFailsToSendAndLeavesNothing) {
    int port = ClosedPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(WriteBytes(Target(), "an old download"));
    std::string object = Object("/files/hello.txt");
    std::string stored;
    CString r = Fetch("http://127.0.0.1:" + std::to_string(port) + object, &stored);
    std::printf("closed port: \"%s\"\n", r.GetString());
    EXPECT_EQ(std::string(r),
              "File Down Failed No:5," + object + " Error:" + std::to_string(ERROR_INTERNET_CANNOT_CONNECT) + "\n");
    EXPECT_EQ(stored, kNoFile) << "a failed fetch leaves nothing";
}

TEST_F(HttpDownloadTest, FileTransferSchemeNeverDownloads) {
    std::string stored;
    CString r = Fetch("ftp://127.0.0.1:" + std::to_string(m_port) + Object("/files/hello.txt"), &stored);
    // A file-transfer login meets an HTTP server that never greets it: the connection is refused.
    // Its number is WinInet's (Wine says 12110 here), never 0 or a plain system error.
    const std::string msg = r.GetString(), prefix = "Download Failed No:3, Error:";
    ASSERT_EQ(msg.rfind(prefix, 0), 0u) << msg;
    const int err = std::atoi(msg.c_str() + prefix.size());
    EXPECT_EQ(msg, prefix + std::to_string(err) + "\n");
    EXPECT_GT(err, INTERNET_ERROR_BASE) << msg;
    EXPECT_LE(err, INTERNET_ERROR_LAST) << msg;
    EXPECT_EQ(stored, kNoFile) << "a failed fetch leaves nothing";
    EXPECT_TRUE(Requests().empty()) << "no HTTP request may reach the server";
}

// ---- credentials ---------------------------------------------------------------------------

// A 401 comes from the server itself; a 407 only makes sense from a proxy, so those cases send
// the request through the test server acting as the proxy, to a host name that does not
// resolve: only the proxy can answer it. The platform keeps Basic credentials that worked for a
// host for the rest of the process, so the cases that log in name the server "localhost".
TEST_F(HttpDownloadTest, CredentialsPromptAnswersDecideWhatIsSentAndStored) {
    using A = PromptDriver::Answer;
    const A cancel{false, nullptr, nullptr};
    struct Case {
        const char* what;
        const char* proxyHost;  // nullptr: straight to the server
        const char* host;       // the server's name in the URL
        const char* path;
        bool withOwner;
        std::vector<A> answers;
        const char* served;  // the file stored in the end; nullptr: an empty file
        int credentialsSent;  // requests that carry credentials, at least (0: none at all)
    };
    // Entered credentials go with every later request to that host, so the cases that enter
    // them for 127.0.0.1 come last.
    const Case cases[] = {
        {"no owner window: no prompt", nullptr, "127.0.0.1", "/auth/no-owner/hello.txt", false, {}, nullptr, 0},
        {"401 cancelled", nullptr, "127.0.0.1", "/auth/cancel-realm/r1025.bin", true, {cancel}, nullptr, 0},
        {"407 cancelled", "127.0.0.1", nullptr, "/proxyauth/r1025.bin", true, {cancel}, nullptr, 0},
        {"401 logged in", nullptr, "localhost", "/auth/good-realm/r65537.bin", true,
         {{true, "mirel", "launcher-test"}}, "r65537.bin", 1},
        {"407 logged in", "localhost", nullptr, "/proxyauth/r65537.bin", true, {{true, "mirel", "launcher-test"}},
         "r65537.bin", 1},
        {"wrong credentials prompt again until cancelled", nullptr, "127.0.0.1", "/auth/wrong-realm/hello.txt", true,
         {{true, "mirel", "wrong-1"}, {true, "someone", "wrong-2"}, cancel}, nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string expected;
        if (c.served) { ASSERT_TRUE(ServedFile(c.served, expected)); }
        ProxyEnvironment proxy(c.proxyHost ? Base(c.proxyHost) : "");
        ASSERT_TRUE(proxy.ok) << proxy.error;
        std::string stored;
        PromptDriver driver(c.answers);
        CString r = Fetch(c.proxyHost ? ProxiedUrl(c.path) : Url(c.path, c.host), &stored, c.withOwner);
        EXPECT_STREQ(r, "");
        EXPECT_TRUE(stored == expected) << "stored " << stored.size() << " bytes of " << expected.size();
        EXPECT_EQ(driver.prompts, static_cast<int>(c.answers.size()));
        EXPECT_EQ(driver.unexpected, 0);
        int filled = 0;
        for (const A& a : c.answers) filled += a.ok ? 2 : 0;
        EXPECT_EQ(driver.editsFilled, filled);
        EXPECT_TRUE(driver.failures.empty()) << driver.failures.front();

        const char* authField = c.proxyHost ? "proxy_auth" : "auth";
        std::vector<std::string> reqs;
        for (const auto& q : Requests())
            if (JsonField(q, "target").find(c.path) != std::string::npos) reqs.push_back(q);
        ASSERT_FALSE(reqs.empty());
        // Through a proxy the request names the whole URL (the platform adds the port).
        std::string target = JsonField(reqs.front(), "target");
        EXPECT_EQ(target.rfind(c.proxyHost ? "http://mirel-origin.invalid" : "/", 0), 0u) << target;
        EXPECT_EQ(JsonField(reqs.front(), authField), "false");
        int sent = 0;
        for (const auto& q : reqs) sent += JsonField(q, authField) == "true";
        if (c.credentialsSent == 0) {
            EXPECT_EQ(reqs.size(), 1u) << "one request, nothing sent again";
        } else {
            EXPECT_GE(sent, c.credentialsSent) << "each entered pair must be sent";
        }
        // Only the right pair is ever accepted, and then by the last request.
        for (size_t i = 0; i < reqs.size(); ++i)
            EXPECT_EQ(JsonField(reqs[i], "auth_ok"), c.served && i + 1 == reqs.size() ? "true" : "false") << reqs[i];
    }

    // A server that refuses every answer is asked about three times in one fetch, no more.
    PromptDriver insisting({{true, "mirel", "wrong-1"}, {true, "mirel", "wrong-2"}, {true, "mirel", "wrong-3"},
                            {true, "mirel", "wrong-4"}});
    std::string stored;
    EXPECT_STREQ(Fetch(Url("/auth/wrong-realm/hello.txt"), &stored, /*withOwner=*/true),
                 "Download Failed No:16, Authorization Failed:401\n");
    EXPECT_EQ(stored, kNoFile);
    EXPECT_EQ(insisting.prompts, 3);
}

// ---- HTTPS -----------------------------------------------------------------------------------

TEST_F(HttpDownloadTest, SecureUrlsAreFetchedOverTlsWithTheSystemsTrust) {
    ASSERT_GT(TlsPort("port-tls"), 0) << "no TLS port: the test server runs over TLS only inside scripts/sandbox";
    struct Case {
        const char* path;
        const char* file;
    };
    const Case cases[] = {
        {"/files/r65537.bin", "r65537.bin"},
        {"/files/big.bin", "big.bin"},
        {"/chunked/r65537.bin", "r65537.bin"},
        {"/redirect/r4096.bin", "r4096.bin"},  // a secure redirect to a secure URL is followed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string expected, stored;
        ASSERT_TRUE(ServedFile(c.file, expected));
        EXPECT_STREQ(Fetch(SecureUrl(c.path), &stored), "");
        EXPECT_TRUE(stored == expected) << "stored " << stored.size() << " bytes of " << expected.size();
    }
    // The redirect was followed by a second request over TLS, to the file itself.
    auto reqs = Requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(JsonField(reqs[3], "answer"), "302");
    EXPECT_EQ(JsonField(reqs[4], "target"), Object("/files/r4096.bin"));
}

// Secure redirects are followed up to the limit, and never to http.
TEST_F(HttpDownloadTest, SecureRedirectsAreFollowedUpToTheLimitAndOneMoreFails) {
    ASSERT_GT(TlsPort("port-tls"), 0) << "no TLS port: run inside scripts/sandbox";
    const int limit = CHttpDownload::kMaxRedirects;
    auto chain = [&](int n) { return SecureUrl("/redirects/" + std::to_string(n) + "/r4096.bin"); };
    std::string expected, stored;
    ASSERT_TRUE(ServedFile("r4096.bin", expected));
    EXPECT_STREQ(Fetch(chain(limit), &stored), "");
    EXPECT_TRUE(stored == expected);
    // One more: the redirect past the limit is the answer, a numbered failure that leaves nothing.
    EXPECT_EQ(std::string(Fetch(chain(limit + 1), &stored)), Failure7(302));
    EXPECT_EQ(stored, kNoFile);
    EXPECT_EQ(Requests().size(), static_cast<size_t>(2 * (limit + 1))) << "each fetch asks limit + 1 times";
    // A secure fetch never follows a redirect to http: the first answer is the last.
    EXPECT_EQ(std::string(Fetch(SecureUrl("/redirect-http/r4096.bin"), &stored)),
              "Download Failed No:10, Redirect to http refused\n");
    EXPECT_EQ(stored, kNoFile);
    EXPECT_EQ(Requests().size(), static_cast<size_t>(2 * (limit + 1) + 1));
}

TEST_F(HttpDownloadTest, CertificateThatFailsIsANumberedFailureWithoutAPrompt) {
    ASSERT_GT(TlsPort("port-untrusted"), 0) << "no TLS ports: run inside scripts/sandbox";
    struct Case {
        const char* port;
        DWORD error;
    };
    const Case cases[] = {
        // Issued by a CA nobody trusts: this Wine names it a failed revocation check, Windows an
        // invalid CA; either way the channel is refused.
        {"port-untrusted", ERROR_INTERNET_INVALID_CA},
        {"port-wrongname", ERROR_INTERNET_SEC_CERT_CN_INVALID},  // for another name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        PromptDriver driver({});
        std::string stored;
        CString r = Fetch(SecureUrl("/files/hello.txt", c.port), &stored, /*withOwner=*/true);
        std::string expected = "Download Failed No:9, Certificate Error:" + std::to_string(c.error) + "\n";
        if (c.error == ERROR_INTERNET_INVALID_CA && std::string(r) != expected)
            expected = "Download Failed No:9, Certificate Error:" + std::to_string(ERROR_INTERNET_SEC_CERT_REV_FAILED) + "\n";
        EXPECT_EQ(std::string(r), expected);
        EXPECT_EQ(driver.prompts, 0) << "nothing may offer to let the certificate through";
        EXPECT_EQ(stored, kNoFile);
    }
    EXPECT_TRUE(Requests().empty()) << "no request may be sent over a channel that failed its check";
}

// ---- bounds ----------------------------------------------------------------------------------

TEST_F(HttpDownloadTest, BodyOverTheLimitFailsAndLeavesNoFile) {
    struct Case {
        std::string url;
        bool withOwner;
    };
    std::vector<Case> cases = {
        {Url("/endless/x"), false},      // no length stated, bytes without end
        {Url("/hugelen/x"), false},      // 1 TiB stated: refused before the body
    };
    if (TlsPort("port-tls") > 0) cases.push_back({SecureUrl("/endless/x"), false});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        PromptDriver driver({});
        ASSERT_TRUE(WriteBytes(Target(), "an earlier download"));
        DWORD start = ::GetTickCount();
        CString r = Fetch(c.url, nullptr, c.withOwner);
        DWORD ms = ::GetTickCount() - start;
        std::printf("%s: \"%s\" after %lu ms, peak working set %zu KiB\n", c.url.c_str(), r.GetString(), ms,
                    PeakWorkingSet() / 1024);
        EXPECT_STREQ(r, "Download Failed No:11, Size Limit:16777216\n");
        EXPECT_EQ(driver.prompts, 0);
        EXPECT_TRUE(FolderEntries(m_folder).empty()) << "a partial Mirel.ndn was left behind";
    }
}

// A refused or failed answer's body is a page for people: a few KiB of it are read away (so that a
// prompt can send the request again on the same connection), never the description's limit, and
// the numbered failure comes at once however long the server keeps sending.
TEST_F(HttpDownloadTest, ErrorAnswerWithABodyWithoutEndFailsWithItsStatusAtOnce) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {Url("/endless401/x"), "Download Failed No:7, Status Code:401\n"},  // no prompt for it
        {Url("/endless503/x"), "Download Failed No:7, Status Code:503\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        PromptDriver driver({});
        ASSERT_TRUE(WriteBytes(Target(), "an earlier download"));
        DWORD start = ::GetTickCount();
        CString r = Fetch(c.first, nullptr, /*withOwner=*/true);
        DWORD ms = ::GetTickCount() - start;
        std::printf("%s: \"%s\" after %lu ms\n", c.first.c_str(), r.GetString(), ms);
        EXPECT_STREQ(r, c.second.c_str());
        EXPECT_LT(ms, 10000u) << "the error's body was read far beyond a page";
        EXPECT_EQ(driver.prompts, 0);
        EXPECT_TRUE(FolderEntries(m_folder).empty()) << "a partial Mirel.ndn was left behind";
    }
}

TEST_F(HttpDownloadTest, BodyOfExactlyTheLimitIsStored) {
    std::string body(static_cast<size_t>(CHttpDownload::kMaxBody), '\0');
    for (size_t i = 0; i < body.size(); i += 4096) body[i] = static_cast<char>(i >> 12);
    std::string name = "limit-" + m_token + ".bin";
    ASSERT_TRUE(WriteBytes(m_serverDir + "\\files\\" + name, body));
    std::string stored;
    EXPECT_STREQ(Fetch(Url("/files/" + name), &stored), "");
    ::DeleteFileA((m_serverDir + "\\files\\" + name).c_str());
    EXPECT_EQ(stored.size(), body.size());
    EXPECT_TRUE(stored == body);
}

TEST_F(HttpDownloadTest, ServerThatStallsOrTricklesMeetsTheTimeLimit) {
    std::vector<std::string> urls = {Url("/trickle/r65537.bin"), Url("/stall/r65537.bin")};
    if (TlsPort("port-tls") > 0) urls.push_back(SecureUrl("/stall/r65537.bin"));
    for (const auto& url : urls) {
        SCOPED_TRACE(url);
        CHttpDownload d;
        d.SetURL(Widen(url).c_str());
        d.SetDownloadFolder(m_folder.c_str());
        d.SetTimeLimit(3000);
        DWORD start = ::GetTickCount();
        CString r = d.Download();
        DWORD ms = ::GetTickCount() - start;
        std::printf("%s: \"%s\" after %lu ms (limit 3000 ms)\n", url.c_str(), r.GetString(), ms);
        std::fflush(stdout);
        EXPECT_STREQ(r, "Download Failed No:12, Time Limit:3\n");
        EXPECT_GE(ms, 2900u);
        EXPECT_LT(ms, 60000u) << "the limit did not end the fetch";
        EXPECT_TRUE(FolderEntries(m_folder).empty()) << "a partial Mirel.ndn was left behind";
    }
}
