#include "download/HttpDownload.h"

#include "download/FetchFailure.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/CodePage.h"
#include "framework/afxinet.h"
#include "framework/afxwin.h"

namespace {

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
// A secure request follows no redirect by itself: each target is checked before it is asked.
constexpr DWORD kSecureRequestFlags = kRequestFlags | INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr DWORD kPromptFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

long LastError() { return static_cast<long>(::GetLastError()); }

// What the secure channel reports when the server's certificate is not to be trusted.
bool IsCertificateError(DWORD err) {
    switch (err) {
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
        return true;
    default:
        return false;
    }
}

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

CString SizeLimit() { return FetchFailureMessage(FetchFailure::SizeLimit, static_cast<long>(CHttpDownload::kMaxBody)); }

}  // namespace

// Bounds the whole fetch: when the time is up, the request handle is closed from this thread,
// which ends a call blocked on it; the fetch then reports the time limit. Paused while the
// credentials prompt waits for the user.
class CHttpDownload::Deadline {
public:
    Deadline(CHttpDownload& owner, DWORD limitMs) : m_owner(owner), m_limit(limitMs), m_start(::GetTickCount64()) {
        m_thread = std::thread([this] { Run(); });
    }
    ~Deadline() {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    // Also by the clock: a receive time-out set to the time left may end a wait a moment
    // before this thread marks the end, and that fetch ran out of time too.
    bool Expired() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_expired || (!m_paused && ::GetTickCount64() - m_start >= m_limit);
    }
    void Pause() {
        std::lock_guard<std::mutex> g(m_mutex);
        if (!m_paused) m_pausedAt = ::GetTickCount64();
        m_paused = true;
    }
    void Resume() {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_paused) m_start += ::GetTickCount64() - m_pausedAt;
            m_paused = false;
        }
        m_wake.notify_all();
    }
    DWORD LimitSeconds() const { return m_limit / 1000; }
    DWORD RemainingMs() {
        std::lock_guard<std::mutex> g(m_mutex);
        ULONGLONG elapsed = (m_paused ? m_pausedAt : ::GetTickCount64()) - m_start;
        return elapsed >= m_limit ? 1 : static_cast<DWORD>(m_limit - elapsed);
    }

private:
    void Run() {
        std::unique_lock<std::mutex> g(m_mutex);
        while (!m_stop) {
            if (m_paused) {
                m_wake.wait(g);
                continue;
            }
            ULONGLONG elapsed = ::GetTickCount64() - m_start;
            if (elapsed >= m_limit) {
                m_expired = true;
                std::lock_guard<std::mutex> h(m_owner.m_lock);
                m_owner.m_hRequest.reset();
                return;
            }
            m_wake.wait_for(g, std::chrono::milliseconds(m_limit - elapsed));
        }
    }

    CHttpDownload& m_owner;
    const DWORD m_limit;
    ULONGLONG m_start;
    ULONGLONG m_pausedAt = 0;
    bool m_paused = false;
    bool m_stop = false;
    bool m_expired = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

CHttpDownload::CHttpDownload() = default;

CHttpDownload::~CHttpDownload() = default;

void CHttpDownload::SetURL(const wchar_t* url) {
    m_strURL = WideToAnsi(url ? url : L"").c_str();
}

void CHttpDownload::SetDownloadFolder(const char* folder) {
    // No ".ndn" in the fetch's own name: a file that is not whole is never taken for a description.
    m_strFilePath.Format("%s\\Mirel.fetch", folder ? folder : "");
    m_strDescriptionPath.Format("%s\\Mirel.ndn", folder ? folder : "");
}

HINTERNET CHttpDownload::Request() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_hRequest.get();
}

// Connects to the target's server and opens the request for its object; empty, or the failure.
CString CHttpDownload::OpenRequest(const Target& target, bool secure) {
    // A secure URL is plain HTTP inside the secure channel, on the URL's port.
    DWORD service = secure ? INTERNET_SERVICE_HTTP : target.service;
    m_hConnect.reset(::InternetConnectA(m_hSession.get(), target.server, target.port, nullptr, nullptr, service, 0,
                                        reinterpret_cast<DWORD_PTR>(this)));
    if (!m_hConnect) return FetchFailureMessage(FetchFailure::Connect, LastError());
    const char* acceptTypes[] = {"*/*", nullptr};
    HINTERNET request = ::HttpOpenRequestA(m_hConnect.get(), nullptr, target.object, nullptr, nullptr, acceptTypes,
                                           secure ? kSecureRequestFlags : kRequestFlags,
                                           reinterpret_cast<DWORD_PTR>(this));
    if (!request) return FetchFailureMessage(FetchFailure::OpenRequest, LastError());
    std::lock_guard<std::mutex> g(m_lock);
    m_hRequest.reset(request);
    return CString();
}

// A refused body leaves nothing behind: no partial description for the unpacker or the
// torrent part to find later.
void CHttpDownload::DiscardTarget() {
    m_file.Close();
    ::DeleteFileA(m_strFilePath);
}

// A body refused for its size is not closed: closing the request, or a handle above it, may
// read the rest of a stated length to keep the connection (Wine does), which for an endless
// sender never ends. The handles go with the process, which closes the window after this failure.
CString CHttpDownload::RefuseBody() {
    std::lock_guard<std::mutex> g(m_lock);
    m_hRequest.release();
    m_hConnect.release();
    m_hSession.release();
    return SizeLimit();
}

// A read of what has arrived, at most `max` bytes: a blocking read would wait until its buffer
// is full, so a trickling server would hold it far beyond the deadline. No wait for data outlasts
// the time left: closing the handle from the deadline's thread is not enough on every platform.
BOOL CHttpDownload::ReadSome(Deadline& deadline, void* buffer, DWORD max, DWORD* got) {
    *got = 0;
    DWORD left = deadline.RemainingMs();
    ::InternetSetOptionA(Request(), INTERNET_OPTION_RECEIVE_TIMEOUT, &left, sizeof(left));
    DWORD available = 0;
    if (!::InternetQueryDataAvailable(Request(), &available, 0, 0)) return FALSE;
    if (available == 0 || available > max) available = max;
    return ::InternetReadFile(Request(), buffer, available, got);
}

CString CHttpDownload::Download() {
    Target target;
    m_strFetchedURL = m_strURL;
    if (!AfxParseURL(m_strFetchedURL, target.service, target.server, target.object, target.port)) {
        m_strFetchedURL = "http://" + m_strURL;
        if (!AfxParseURL(m_strFetchedURL, target.service, target.server, target.object, target.port))
            return FetchFailureMessage(FetchFailure::UrlParse, 0, m_strFetchedURL);
    }

    m_hSession.reset(::InternetOpenA(AfxGetAppName(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!m_hSession) return FetchFailureMessage(FetchFailure::Session, LastError());
    // No single call may wait longer than the whole fetch may take.
    DWORD timeout = m_dwTimeLimitMs;
    ::InternetSetOptionA(m_hSession.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    ::InternetSetOptionA(m_hSession.get(), INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
    ::InternetSetOptionA(m_hSession.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));

    // The target is truncated here, before any traffic.
    if (!m_file.Open(m_strFilePath, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite))
        return FetchFailureMessage(FetchFailure::TargetFile, LastError());

    Deadline deadline(*this, m_dwTimeLimitMs);
    CString result = Fetch(deadline, target);
    if (deadline.Expired()) result = FetchFailureMessage(FetchFailure::TimeLimit, static_cast<long>(deadline.LimitSeconds()));
    // A failed fetch leaves nothing behind, not even the part that arrived.
    if (!result.IsEmpty()) DiscardTarget();
    return result;
}

// Sends the request and reads the answer's status; a failure message, or empty with `status`.
CString CHttpDownload::SendRequest(Deadline& deadline, const Target& target, bool secure, long& status) {
    // Waits for the answer end with the fetch's time, and so do reads of its body.
    DWORD left = deadline.RemainingMs();
    ::InternetSetOptionA(m_hConnect.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &left, sizeof(left));
    ::InternetSetOptionA(Request(), INTERNET_OPTION_RECEIVE_TIMEOUT, &left, sizeof(left));
    ::InternetSetOptionA(Request(), INTERNET_OPTION_SEND_TIMEOUT, &left, sizeof(left));
    if (!::HttpSendRequestA(Request(), nullptr, 0, nullptr, 0)) {
        DWORD err = ::GetLastError();
        if (secure && IsCertificateError(err))
            return FetchFailureMessage(FetchFailure::Certificate, static_cast<long>(err));
        return FetchFailureMessage(FetchFailure::Send, static_cast<long>(err), target.object);
    }
    char statusText[32] = {};
    DWORD statusLen = sizeof(statusText);
    if (!::HttpQueryInfoA(Request(), HTTP_QUERY_STATUS_CODE, statusText, &statusLen, nullptr))
        return FetchFailureMessage(FetchFailure::QueryStatus, LastError());
    status = std::atol(statusText);
    return CString();
}

// A secure fetch's redirect is followed here, and only to another secure URL: the target
// becomes the redirect's and a new request is opened for it.
CString CHttpDownload::FollowRedirect(Target& target, long status) {
    std::vector<char> location(INTERNET_MAX_URL_LENGTH + 1);
    DWORD len = static_cast<DWORD>(location.size() - 1);
    if (!::HttpQueryInfoA(Request(), HTTP_QUERY_LOCATION, location.data(), &len, nullptr))
        return FetchFailureMessage(FetchFailure::Status, status);
    std::vector<char> next(2 * INTERNET_MAX_URL_LENGTH + 1);
    DWORD nextLen = static_cast<DWORD>(next.size() - 1);
    std::string base = "https://" + std::string(target.server) + ":" + std::to_string(target.port) + target.object.GetString();
    if (!::InternetCombineUrlA(base.c_str(), location.data(), next.data(), &nextLen, ICU_NO_ENCODE))
        return FetchFailureMessage(FetchFailure::Status, status);
    DWORD service = 0;
    CString server, object;
    INTERNET_PORT port = 0;
    if (!AfxParseURL(next.data(), service, server, object, port) || service != AFX_INET_SERVICE_HTTPS)
        return FetchFailureMessage(FetchFailure::RedirectToHttp);
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_hRequest.reset();
    }
    m_hConnect.reset();
    target.server = server;
    target.object = object;
    target.port = port;
    return OpenRequest(target, true);
}

// A refused answer (401, 407): its body is read away, so that the request can go again on the
// same connection, and the user is asked for credentials, at most kMaxPrompts times in one fetch.
// `retry` when the request goes again; otherwise, with no failure, the prompt was cancelled and
// the refused answer stands. A body longer than a page (kMaxErrorBody) is no server's login
// page: the refusal is the failure, at once, however long the server would go on sending.
CString CHttpDownload::AskForCredentials(Deadline& deadline, long status, int& prompts, bool& retry) {
    retry = false;
    char discard[4096];
    DWORD got = 0;
    uint64_t discarded = 0;
    while (ReadSome(deadline, discard, sizeof(discard), &got) && got != 0) {
        discarded += got;
        if (deadline.Expired()) break;
        if (discarded > kMaxErrorBody) return FetchFailureMessage(FetchFailure::Status, status);
    }
    if (deadline.Expired()) return CString();
    // A server that refuses every answer is not asked about for ever.
    if (prompts == kMaxPrompts) return FetchFailureMessage(FetchFailure::Authorization, status);
    ++prompts;
    deadline.Pause();
    DWORD answer = ::InternetErrorDlg(m_hWndOwner, Request(), ERROR_INTERNET_INCORRECT_PASSWORD, kPromptFlags, nullptr);
    deadline.Resume();
    retry = answer == ERROR_INTERNET_FORCE_RETRY;
    return CString();
}

// The body into the file: a stated length over the limit is refused before any of it is read,
// and a connection that ends before the stated length is a cut, not a whole file.
CString CHttpDownload::ReadBody(Deadline& deadline, bool bodyReadAway) {
    char lengthText[32] = {};
    DWORD lengthLen = sizeof(lengthText);
    bool lengthStated = false;
    unsigned long long stated = 0;
    if (::HttpQueryInfoA(Request(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthLen, nullptr)) {
        char* end = nullptr;
        stated = std::strtoull(lengthText, &end, 10);
        lengthStated = end != lengthText;
        if (lengthStated && stated > kMaxBody) return RefuseBody();
    }
    char buffer[1024];
    uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadSome(deadline, buffer, sizeof(buffer), &got))
            return FetchFailureMessage(FetchFailure::Read, LastError());
        if (got == 0) break;
        total += got;
        if (total > kMaxBody) return RefuseBody();
        if (deadline.Expired()) return CString();
        try {
            m_file.Write(buffer, got);
        } catch (CFileException* e) {
            e->Delete();
            return FetchFailureMessage(FetchFailure::FileWrite);
        }
    }
    if (lengthStated && !bodyReadAway && total != stated)
        return FetchFailureMessage(FetchFailure::Read, ERROR_INTERNET_CONNECTION_RESET);
    m_file.Close();
    return CString();
}

CString CHttpDownload::Fetch(Deadline& deadline, Target& target) {
    const bool secure = target.service == AFX_INET_SERVICE_HTTPS;
    CString failure = OpenRequest(target, secure);
    int redirects = 0;
    int prompts = 0;
    bool bodyReadAway = false;  // a refused answer's body was read before a cancelled prompt
    while (failure.IsEmpty()) {
        long status = 0;
        failure = SendRequest(deadline, target, secure, status);
        if (!failure.IsEmpty()) break;
        if (secure && IsRedirect(status) && redirects < kMaxRedirects) {
            ++redirects;
            failure = FollowRedirect(target, status);
            continue;
        }
        if (status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ) {
            bool retry = false;
            failure = AskForCredentials(deadline, status, prompts, retry);
            if (!failure.IsEmpty() || deadline.Expired()) return failure;
            if (retry) continue;
            bodyReadAway = true;
            return ReadBody(deadline, bodyReadAway);
        }
        if (status == HTTP_STATUS_OK) return ReadBody(deadline, bodyReadAway);
        return FetchFailureMessage(FetchFailure::Status, status);
    }
    return failure;
}
