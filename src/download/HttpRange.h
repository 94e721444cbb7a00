// Ranged GETs of one plain-HTTP resource over a connection kept open between requests, from a
// chosen source address: how the launcher fetches single pieces of the installer from its
// origin (torrent/OriginFetcher.h). Winsock, not WinInet: WinInet cannot choose the address its
// connections leave from, and a launcher given a listen interface opens every connection from
// it. Only `http://` URLs; an origin over HTTPS stays the library's web seed.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct HttpUrl {
    std::string host;
    int port = 80;
    std::string path;  // from the first '/', as sent
};

// Splits `http://host[:port]/path`; false for anything else (another scheme, user information,
// a bad port, an IPv6 literal). With `orHttps`, `https://` is taken too (port 443 unless given):
// for a handshake with the host, never for a request.
bool ParseHttpUrl(const std::string& url, HttpUrl& out, bool orHttps = false);

class HttpRangeClient {
public:
    // `source`: an IPv4 address to open the connection from, or empty for the system's choice.
    HttpRangeClient(HttpUrl url, std::string source);
    ~HttpRangeClient();
    HttpRangeClient(const HttpRangeClient&) = delete;
    HttpRangeClient& operator=(const HttpRangeClient&) = delete;

    // Fetches the bytes [offset, offset + size) into `out`. The answer must be 206 with
    // exactly that range. False with a reason in `error` otherwise; the connection is closed
    // then and the next call opens a new one. Each wait for the network lasts at most
    // `kIoTimeoutMs` and ends early once `stop` is set (seen within a fifth of a second, also
    // while a body keeps coming); the body has a deadline of its own (SetBodyDeadline).
    bool Get(std::int64_t offset, int size, std::vector<char>& out, std::string& error,
             const std::atomic<bool>& stop);
    void Close();
    // The address of the server of the last connection (empty before one).
    const std::string& RemoteAddress() const { return m_remote; }
    // How long the last successful Get waited from its request's last byte to its answer's
    // first, in milliseconds: a round trip of the line (the origin sends at once). Negative
    // when the answer was already there or the connection was new.
    double LastWaitMs() const { return m_lastWaitMs; }
    // Opens a connection and closes it at once: the handshake's round trip in milliseconds, or
    // a negative value with a reason in `error`. Any open connection is closed first.
    double Handshake(std::string& error, const std::atomic<bool>& stop);

    static constexpr int kIoTimeoutMs = 15000;
    // A body must come at least this fast: a piece may take kBodyGraceMs plus its size at
    // kMinBodyRate, then the answer is given up (an origin that trickles a few bytes a second
    // would hold a connection for hours). Tests set their own.
    static constexpr int kBodyGraceMs = 10000;
    static constexpr int kMinBodyRate = 16 * 1024;
    void SetBodyDeadline(int graceMs, int minRate) { m_bodyGraceMs = graceMs; m_minBodyRate = minRate; }

private:
    bool Resolve(std::string& error);
    bool Connect(std::string& error, const std::atomic<bool>& stop);
    // Waits until the socket can be read (or written); false on time-out, stop or error.
    bool Wait(bool write, const std::atomic<bool>& stop);

    HttpUrl m_url;
    std::string m_source;
    SOCKET m_sock = INVALID_SOCKET;
    std::string m_pending;  // bytes read past the end of the last answer
    std::string m_remote;
    sockaddr_in m_target{};  // the host as resolved at the first connection
    bool m_resolved = false;
    double m_lastWaitMs = -1;
    int m_bodyGraceMs = kBodyGraceMs;
    int m_minBodyRate = kMinBodyRate;
};

// What a response's head says; false when it is not a complete, well-formed head. The head is
// the status line and the field lines, each ended by CRLF, then the empty line (nothing after it
// is read). The status line is "HTTP/1.D NNN", then nothing or a space and a reason (not read).
// A field line is a name, a colon and a value; the name is matched in any case, whitespace
// around it and around the value is not part of them, and a line without a colon is malformed.
// A line that begins with a space or a tab continues the field above it (the old line folding:
// the fold and the whitespace around it read as one space); before the first field it is
// malformed. Numbers are 1 to 18 digits. Only these fields are read, the rest are skipped:
//   Content-Length     a number; repeated, only with the same number
//   Content-Range      "bytes FIRST-LAST/TOTAL" (the unit in any case, one space after it) with
//                      FIRST <= LAST < TOTAL, or TOTAL "*"; or "bytes */TOTAL", a range that
//                      cannot be given (FIRST and LAST stay -1); repeated, only saying the same
//   Connection         a list of options separated by commas, every line of it: "close" among
//                      them closes; an HTTP/1.0 answer closes unless "keep-alive" is among them
//   Transfer-Encoding  malformed: a body is read by its Content-Length alone
struct HttpRangeHead {
    int status = 0;
    std::int64_t contentLength = -1;
    std::int64_t rangeFirst = -1, rangeLast = -1;  // from Content-Range
    bool close = false;                            // Connection: close
};
bool ParseRangeHead(const std::string& head, HttpRangeHead& out);
