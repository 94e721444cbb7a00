#include "download/HttpRange.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr int kGulp = 64 * 1024;
constexpr DWORD kTrickleMs = 15;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ParseInt64(const std::string& text, std::int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

std::string Trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    std::size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

std::string TrimRight(const std::string& s) {
    const std::size_t b = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(0, b + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A Content-Range value in lower case: "bytes FIRST-LAST/TOTAL" with FIRST <= LAST < TOTAL, or
// TOTAL "*" (given back as -1); or "bytes */TOTAL" for a range that cannot be given (FIRST and
// LAST -1).
bool ParseContentRange(const std::string& v, std::int64_t& first, std::int64_t& last, std::int64_t& total) {
    if (v.compare(0, 6, "bytes ") != 0) return false;
    const std::string range = v.substr(6);
    const std::size_t slash = range.find('/');
    if (slash == std::string::npos) return false;
    const std::string span = range.substr(0, slash), length = range.substr(slash + 1);
    if (span == "*") {
        first = last = -1;
        return ParseInt64(length, total);
    }
    const std::size_t dash = span.find('-');
    if (dash == std::string::npos || !ParseInt64(span.substr(0, dash), first) ||
        !ParseInt64(span.substr(dash + 1), last) || first > last)
        return false;
    if (length == "*") {
        total = -1;
        return true;
    }
    return ParseInt64(length, total) && last < total;
}

}  // namespace

bool ParseHttpUrl(const std::string& url, HttpUrl& out, bool orHttps) {
    std::string scheme = "http://";
    int defaultPort = 80;
    if (orHttps && Lower(url.substr(0, 8)) == "https://") {
        scheme = "https://";
        defaultPort = 443;
    }
    if (url.size() <= scheme.size() || Lower(url.substr(0, scheme.size())) != scheme) return false;
    const std::string rest = url.substr(scheme.size());
    const std::size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    if (authority.empty() || authority.find('@') != std::string::npos || authority[0] == '[') return false;
    HttpUrl parsed;
    parsed.port = defaultPort;
    const std::size_t colon = authority.find(':');
    parsed.host = authority.substr(0, colon);
    if (parsed.host.empty()) return false;
    if (colon != std::string::npos) {
        std::int64_t port = 0;
        if (!ParseInt64(authority.substr(colon + 1), port) || port < 1 || port > 65535) return false;
        parsed.port = static_cast<int>(port);
    }
    parsed.path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (parsed.path.find_first_of(" \r\n#") != std::string::npos) return false;
    out = parsed;
    return true;
}

bool ParseRangeHead(const std::string& head, HttpRangeHead& out) {
    HttpRangeHead parsed;
    std::size_t end = head.find("\r\n");
    if (end == std::string::npos) return false;
    const std::string status = head.substr(0, end);
    // "HTTP/1.x NNN reason", or "HTTP/1.x NNN" with no reason
    if (status.size() < 12 || status.compare(0, 7, "HTTP/1.") != 0 || !IsDigit(status[7]) || status[8] != ' ' ||
        (status.size() > 12 && status[12] != ' '))
        return false;
    std::int64_t code = 0;
    if (!ParseInt64(status.substr(9, 3), code)) return false;
    parsed.status = static_cast<int>(code);
    const bool http10 = status[7] == '0';

    // The field lines, names in lower case, each joined with its continuation lines first.
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t pos = end + 2;
    for (;;) {
        end = head.find("\r\n", pos);
        if (end == std::string::npos) return false;
        if (end == pos) break;  // the empty line
        const std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        if (line[0] == ' ' || line[0] == '\t') {
            if (fields.empty()) return false;  // whitespace between the status line and the first field
            std::string& value = fields.back().second;
            value = TrimRight(value) + ' ' + Trim(line);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        fields.emplace_back(Lower(Trim(line.substr(0, colon))), line.substr(colon + 1));
    }

    bool sawLength = false, sawRange = false, closeOption = false, keepAliveOption = false;
    std::int64_t rangeTotal = -1;
    for (const auto& field : fields) {
        const std::string& name = field.first;
        const std::string value = Trim(field.second);
        if (name == "content-length") {
            std::int64_t length = 0;
            if (!ParseInt64(value, length) || (sawLength && length != parsed.contentLength)) return false;
            parsed.contentLength = length;
            sawLength = true;
        } else if (name == "content-range") {
            std::int64_t first = -1, last = -1, total = -1;
            if (!ParseContentRange(Lower(value), first, last, total)) return false;
            if (sawRange && (first != parsed.rangeFirst || last != parsed.rangeLast || total != rangeTotal)) return false;
            parsed.rangeFirst = first;
            parsed.rangeLast = last;
            rangeTotal = total;
            sawRange = true;
        } else if (name == "connection") {
            const std::string options = Lower(value);
            std::size_t at = 0;
            for (;;) {
                const std::size_t comma = options.find(',', at);
                const std::string option = Trim(options.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
                if (option == "close") closeOption = true;
                if (option == "keep-alive") keepAliveOption = true;
                if (comma == std::string::npos) break;
                at = comma + 1;
            }
        } else if (name == "transfer-encoding") {
            return false;  // the body is framed by Content-Length alone
        }
    }
    parsed.close = closeOption || (http10 && !keepAliveOption);
    out = parsed;
    return true;
}

HttpRangeClient::HttpRangeClient(HttpUrl url, std::string source) : m_url(std::move(url)), m_source(std::move(source)) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
}

HttpRangeClient::~HttpRangeClient() {
    Close();
    ::WSACleanup();
}

void HttpRangeClient::Close() {
    if (m_sock != INVALID_SOCKET) ::closesocket(m_sock);
    m_sock = INVALID_SOCKET;
    m_pending.clear();
}

bool HttpRangeClient::Wait(bool write, const std::atomic<bool>& stop) {
    // In slices, so that a stop is seen within a fifth of a second.
    for (int waited = 0; waited < kIoTimeoutMs; waited += 200) {
        if (stop) return false;
        fd_set set, errors;
        FD_ZERO(&set);
        FD_ZERO(&errors);
        FD_SET(m_sock, &set);
        FD_SET(m_sock, &errors);
        timeval tv{0, 200 * 1000};
        const int n = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
        if (n < 0) return false;
        if (n > 0) return !FD_ISSET(m_sock, &errors);
    }
    return false;
}

// Resolved once: a client that connects again (or a probe that connects four times a second)
// asks no name server each time.
bool HttpRangeClient::Resolve(std::string& error) {
    if (!m_resolved) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* found = nullptr;
        if (::getaddrinfo(m_url.host.c_str(), std::to_string(m_url.port).c_str(), &hints, &found) != 0 || !found) {
            error = "cannot resolve " + m_url.host;
            return false;
        }
        std::memcpy(&m_target, found->ai_addr, sizeof(m_target));
        ::freeaddrinfo(found);
        m_resolved = true;
    }
    return true;
}

bool HttpRangeClient::Connect(std::string& error, const std::atomic<bool>& stop) {
    if (!Resolve(error)) return false;
    sockaddr_in target = m_target;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &target.sin_addr, text, sizeof(text))) m_remote = text;

    m_sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_sock == INVALID_SOCKET) {
        error = "no socket";
        return false;
    }
    if (!m_source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, m_source.c_str(), &local.sin_addr) != 1 ||
            ::bind(m_sock, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            error = "cannot open a connection from " + m_source;
            Close();
            return false;
        }
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(m_sock, FIONBIO, &nonBlocking);
    const BOOL noDelay = TRUE;
    ::setsockopt(m_sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    if (::connect(m_sock, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        error = "connection refused";
        Close();
        return false;
    }
    if (!Wait(true, stop)) {
        error = stop ? "stopped" : "no connection";
        Close();
        return false;
    }
    int soError = 0;
    int len = sizeof(soError);
    ::getsockopt(m_sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
    if (soError) {
        error = "connection failed: " + std::to_string(soError);
        Close();
        return false;
    }
    return true;
}

bool HttpRangeClient::Get(std::int64_t offset, int size, std::vector<char>& out, std::string& error,
                          const std::atomic<bool>& stop) {
    out.clear();
    if (size <= 0 || offset < 0) {
        error = "empty range";
        return false;
    }
    // A connection the server closed while it was idle fails at the first send or read: one
    // new connection is tried then.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = m_sock != INVALID_SOCKET;
        if (!reused && !Connect(error, stop)) return false;
        const std::string request = "GET " + m_url.path + " HTTP/1.1\r\nHost: " + m_url.host +
                                    (m_url.port != 80 ? ":" + std::to_string(m_url.port) : std::string()) +
                                    "\r\nRange: bytes=" + std::to_string(offset) + "-" +
                                    std::to_string(offset + size - 1) +
                                    "\r\nUser-Agent: Mirel_Online/0.15.5.0\r\nConnection: keep-alive\r\n\r\n";
        std::size_t sent = 0;
        bool failed = false;
        while (sent < request.size()) {
            const int n = ::send(m_sock, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK && Wait(true, stop)) {
                continue;
            } else {
                failed = true;
                break;
            }
        }
        // The head, then the body; what arrives first may already be in m_pending.
        std::string data;
        data.swap(m_pending);
        LARGE_INTEGER sentAt{}, frequency{};
        ::QueryPerformanceCounter(&sentAt);
        ::QueryPerformanceFrequency(&frequency);
        double waitMs = reused && data.empty() ? 0 : -1;
        std::size_t headEnd = std::string::npos;
        char buffer[64 * 1024];
        while (!failed && (headEnd = data.find("\r\n\r\n")) == std::string::npos) {
            if (data.size() > kMaxHead) {
                error = "response head too long";
                Close();
                return false;
            }
            const int n = ::recv(m_sock, buffer, sizeof(buffer), 0);
            if (n > 0 && waitMs == 0) {
                LARGE_INTEGER now{};
                ::QueryPerformanceCounter(&now);
                waitMs = static_cast<double>(now.QuadPart - sentAt.QuadPart) * 1000.0 /
                         static_cast<double>(frequency.QuadPart);
            }
            if (n > 0)
                data.append(buffer, static_cast<std::size_t>(n));
            else if (!(n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK && Wait(false, stop)))
                failed = true;
        }
        if (failed) {
            Close();
            if (reused && data.empty() && !stop) continue;
            error = stop ? "stopped" : "connection lost";
            return false;
        }
        HttpRangeHead head;
        if (!ParseRangeHead(data.substr(0, headEnd + 4), head)) {
            error = "malformed response";
            Close();
            return false;
        }
        if (head.status != 206 || head.rangeFirst != offset || head.rangeLast != offset + size - 1 ||
            head.contentLength != size) {
            error = "answer " + std::to_string(head.status) + " is not the range asked for";
            Close();
            return false;
        }
        out.reserve(static_cast<std::size_t>(size));
        out.assign(data.begin() + static_cast<std::ptrdiff_t>(headEnd + 4), data.end());
        if (out.size() > static_cast<std::size_t>(size)) {
            m_pending.assign(out.begin() + size, out.end());
            out.resize(static_cast<std::size_t>(size));
        }
        const DWORD bodyStart = ::GetTickCount();
        const DWORD bodyLimit =
            static_cast<DWORD>(m_bodyGraceMs + static_cast<std::int64_t>(size) * 1000 / std::max(1, m_minBodyRate));
        while (out.size() < static_cast<std::size_t>(size)) {
            if (stop || ::GetTickCount() - bodyStart > bodyLimit) {
                error = stop ? "stopped" : "the answer came too slowly (" + std::to_string(out.size()) + " of " +
                                               std::to_string(size) + " bytes in " +
                                               std::to_string(bodyLimit / 1000) + " s)";
                Close();
                return false;
            }
            const int want = static_cast<int>(std::min<std::size_t>(sizeof(buffer), size - out.size()));
            const int n = ::recv(m_sock, buffer, want, 0);
            if (n > 0) {
                out.insert(out.end(), buffer, buffer + n);
                // A body that trickles in (a rate-limited origin sends a segment at a time) is
                // read in larger gulps: each read costs a trip through Wine's server.
                if (n < want && n < kGulp) ::Sleep(kTrickleMs);
            } else if (!(n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK && Wait(false, stop))) {
                error = stop ? "stopped" : "connection lost in the body";
                Close();
                return false;
            }
        }
        if (head.close) Close();
        m_lastWaitMs = waitMs > 0 ? waitMs : -1;
        return true;
    }
    error = "connection lost";
    return false;
}

double HttpRangeClient::Handshake(std::string& error, const std::atomic<bool>& stop) {
    Close();
    if (!Resolve(error)) return -1;
    LARGE_INTEGER start{}, end{}, frequency{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    const bool connected = Connect(error, stop);
    ::QueryPerformanceCounter(&end);
    Close();
    if (!connected) return -1;
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}
