// The origin fetched by the launcher itself: which pieces the origin sends (the decision
// table over what one look sees of the swarm), in which order, and the ranged requests.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/address.hpp>

#include "download/HttpRange.h"
#include "torrent/LineGovernor.h"
#include "torrent/OriginFetcher.h"
#include "torrent/WebSeedPolicy.h"

namespace {

constexpr int kPieces = 8;
constexpr std::int64_t kMiBps = 1024 * 1024;

lt::typed_bitfield<lt::piece_index_t> Held(std::initializer_list<int> held, int pieces = kPieces) {
    lt::typed_bitfield<lt::piece_index_t> bits(pieces, false);
    for (int i : held) bits.set_bit(lt::piece_index_t(i));
    return bits;
}

lt::tcp::endpoint Host(int host) { return lt::tcp::endpoint(lt::make_address_v4("10.0.0." + std::to_string(host)), 6881); }

// A connection to 10.0.0.`host`, past its handshake, that has brought `total` bytes so far and
// has `requests` of ours outstanding.
lt::peer_info Peer(int host, std::initializer_list<int> held, std::int64_t total, lt::peer_flags_t flags = {},
                   int requests = 0) {
    lt::peer_info peer;
    peer.ip = Host(host);
    peer.connection_type = lt::peer_info::standard_bittorrent;
    peer.pieces = Held(held);
    peer.total_download = total;
    peer.flags = flags;
    peer.download_queue_length = requests;
    return peer;
}

// Piece `piece` in flight: its first block requested from 10.0.0.`host`.
struct InFlight {
    std::vector<lt::block_info> blocks;
    std::vector<lt::partial_piece_info> queue;
    InFlight(int piece, int host) : blocks(4) {
        for (lt::block_info& b : blocks) {
            b.set_peer(lt::tcp::endpoint());
            b.state = lt::block_info::none;
            b.bytes_progress = 0;
            b.block_size = 16 * 1024;
            b.num_peers = 0;
        }
        blocks[0].set_peer(Host(host));
        blocks[0].state = lt::block_info::requested;
        lt::partial_piece_info partial;
        partial.piece_index = lt::piece_index_t(piece);
        partial.blocks_in_piece = static_cast<int>(blocks.size());
        partial.finished = partial.writing = 0;
        partial.requested = 1;
        partial.blocks = blocks.data();
        queue.push_back(partial);
    }
};

// What the origin sends of a torrent of kPieces, piece 0 had, after `looks` looks a second
// apart at the same peers and pieces in flight: every piece it takes until it has nothing left.
std::set<int> OriginTakes(const std::vector<lt::peer_info>& peers, const std::vector<lt::partial_piece_info>& queue,
                          int looks, bool peersSlow = false, SwarmView* seen = nullptr) {
    ConnectionTotals totals;
    SwarmView view;
    for (int i = 0; i < looks; ++i) view = ViewSwarm(Held({0}), peers, queue, totals, i ? 1000 : 0);
    if (seen) *seen = view;
    OriginPicker picker(kPieces, 7);
    picker.Update(view.sources, peersSlow);
    std::set<int> taken;
    for (int piece; (piece = picker.Next(1000)) >= 0;) taken.insert(piece);
    return taken;
}

}  // namespace

// The decision table: the origin sends a piece only when no live peer holds it and none is
// about to send it; a peer that keeps us waiting two seconds is no source; a launcher alone
// gets every piece from it; a launcher whose peers are slower than the origin gets held
// pieces from it too.
TEST(OriginDecision, SendsOnlyWhatNoLivePeerHoldsOrSends) {
    const auto choked = lt::peer_info::remote_choked | lt::peer_info::interesting;
    struct Row {
        const char* name;
        std::vector<lt::peer_info> peers;
        int inFlightPiece, inFlightHost;  // -1: nothing in flight
        int looks;                        // a second apart
        bool peersSlow;
        std::set<int> origin;             // what the origin sends
    } rows[] = {
        {"a piece held by a peer", {Peer(1, {2, 3}, 0)}, -1, 0, 1, false, {1, 4, 5, 6, 7}},
        {"a piece held by a seed", {Peer(1, {}, 0, lt::peer_info::seed)}, -1, 0, 1, false, {}},
        {"a piece in flight at a peer", {Peer(1, {}, 0, {}, 4)}, 3, 1, 1, false, {1, 2, 4, 5, 6, 7}},
        {"a piece held by nobody", {Peer(1, {0}, 0)}, -1, 0, 1, false, {1, 2, 3, 4, 5, 6, 7}},
        {"a peer still in its handshake holds nothing yet", {Peer(1, {2, 3}, 0, lt::peer_info::handshake)}, -1, 0, 1,
         false, {1, 2, 3, 4, 5, 6, 7}},
        {"a peer that chokes us, at first", {Peer(1, {2, 3}, 0, choked)}, -1, 0, 2, false, {1, 4, 5, 6, 7}},
        {"a peer that choked us for two seconds", {Peer(1, {2, 3}, 0, choked)}, -1, 0, 3, false,
         {1, 2, 3, 4, 5, 6, 7}},
        {"a peer silent for a second with our requests", {Peer(1, {2, 3}, 0, {}, 4)}, 3, 1, 2, false, {1, 4, 5, 6, 7}},
        {"a peer silent for two seconds with our requests (stalled)", {Peer(1, {2, 3}, 0, {}, 4)}, 3, 1, 3, false,
         {1, 2, 3, 4, 5, 6, 7}},
        {"a lone launcher", {}, -1, 0, 1, false, {1, 2, 3, 4, 5, 6, 7}},
        {"peers slower than the origin: held pieces too, not those in flight", {Peer(1, {2, 3}, 0, {}, 4)}, 3, 1, 1,
         true, {1, 2, 4, 5, 6, 7}},
    };
    for (const Row& row : rows) {
        std::vector<lt::partial_piece_info> queue;
        InFlight flight(row.inFlightPiece < 0 ? 0 : row.inFlightPiece, row.inFlightHost);
        if (row.inFlightPiece >= 0) queue = flight.queue;
        EXPECT_EQ(OriginTakes(row.peers, queue, row.looks, row.peersSlow), row.origin) << row.name;
    }
}

TEST(OriginDecision, AStalledPeerIsSeenAsSuchAndALivelyOneIsNot) {
    // Peer 1 brings nothing for our requests; peer 2 brings 1 MiB a second; peer 3 has no
    // request of ours.
    ConnectionTotals totals;
    SwarmView view;
    for (int i = 0; i < 3; ++i)
        view = ViewSwarm(Held({}), {Peer(1, {1}, 0, {}, 4), Peer(2, {2}, i * kMiBps, {}, 4), Peer(3, {3}, 0)}, {},
                         totals, i ? 1000 : 0);
    EXPECT_EQ(view.stalled, 1);
    EXPECT_EQ(view.ready, 3);
    EXPECT_EQ(view.sources[1], PieceSource::Nobody);
    EXPECT_EQ(view.sources[2], PieceSource::Peer);
    EXPECT_EQ(view.sources[3], PieceSource::Peer);
    // It sends again: a source again at once.
    view = ViewSwarm(Held({}), {Peer(1, {1}, kMiBps, {}, 4), Peer(2, {2}, 3 * kMiBps, {}, 4), Peer(3, {3}, 0)}, {},
                     totals, 1000);
    EXPECT_EQ(view.stalled, 0);
    EXPECT_EQ(view.sources[1], PieceSource::Peer);
}

TEST(OriginPicker, WalksOnUntilItMeetsAHeldPieceThenGoesToTheMiddleOfTheLargestRunLeft) {
    constexpr int n = 64;
    OriginPicker picker(n, 12345);
    std::vector<PieceSource> sources(n, PieceSource::Nobody);
    picker.Update(sources, false);
    const int first = picker.Next(0);
    ASSERT_GE(first, 0);
    if (first + 1 < n) {
        EXPECT_EQ(picker.Next(0), first + 1) << "on along its walk";
    }
    // Another launcher's stretch begins right after: held by a peer.
    for (int i = first + 2; i < n; ++i) sources[i] = PieceSource::Peer;
    for (int i = 0; i < 8; ++i) sources[i] = PieceSource::Peer;
    picker.Update(sources, false);
    const int next = picker.Next(0);
    // The largest run left is 8 .. first-1: a point in its middle half.
    const int length = first - 8;
    ASSERT_GE(length, 4) << "seed gives a first pick of " << first;
    EXPECT_GE(next, 8 + length / 4);
    EXPECT_LT(next, 8 + length / 4 + length / 2);
}

// Two launchers whose walks run over the same pieces do not see what the other fetches until
// it has it; once a peer holds a piece this walk is fetching, the walk is left, or the two
// would fetch the same pieces side by side to the end.
TEST(OriginPicker, LeavesAWalkOnWhichAPeerCompletesAPieceItIsFetching) {
    constexpr int n = 64;
    std::vector<PieceSource> sources(n, PieceSource::Nobody);
    OriginPicker alone(n, 777), met(n, 777);
    alone.Update(sources, false);
    met.Update(sources, false);
    const int first = met.Next(0);
    ASSERT_EQ(alone.Next(0), first);
    ASSERT_LT(first + 2, n) << "seed gives a first pick of " << first;
    ASSERT_EQ(met.Next(0), first + 1);
    ASSERT_EQ(alone.Next(0), first + 1);
    EXPECT_EQ(alone.Next(0), first + 2) << "a walk nobody meets goes on";
    sources[first] = PieceSource::Peer;  // the other launcher has it now
    met.Update(sources, false);
    EXPECT_NE(met.Next(0), first + 2) << "went on along a walk another launcher is on";
}

TEST(OriginPicker, AShortRunIsTakenFromItsEnd) {
    OriginPicker picker(kPieces, 99);
    std::vector<PieceSource> sources(kPieces, PieceSource::Had);
    sources[4] = sources[5] = sources[6] = PieceSource::Nobody;  // another walk fetches 4 now
    picker.Update(sources, false);
    EXPECT_EQ(picker.Next(0), 6);
}

TEST(OriginPicker, APieceGivenToTheLibraryIsTakenAgainOnlyWhenItsCheckFailed) {
    OriginPicker picker(kPieces, 5);
    std::vector<PieceSource> sources(kPieces, PieceSource::Had);
    sources[3] = PieceSource::Nobody;
    picker.Update(sources, false);
    ASSERT_EQ(picker.Next(0), 3);
    EXPECT_EQ(picker.Next(0), -1) << "in flight";
    picker.Done(3, false, 100);
    EXPECT_EQ(picker.Next(200), 3) << "a failed fetch is tried again";
    picker.Done(3, true, 300);
    EXPECT_EQ(picker.Next(300 + OriginPicker::kRefetchMs - 1), -1) << "being checked";
    EXPECT_EQ(picker.Next(300 + OriginPicker::kRefetchMs), 3) << "still not had: its check failed";
}

// A piece the library found bad after the origin gave it is the origin's failure: fetched
// again at once, and left to the peers once the origin's copy failed twice. A failure of a
// piece the origin did not give (a peer's) is not the origin's.
TEST(OriginPicker, APieceTheOriginGaveBadTwiceIsLeftToThePeers) {
    OriginPicker picker(kPieces, 5);
    std::vector<PieceSource> sources(kPieces, PieceSource::Had);
    sources[3] = PieceSource::Nobody;
    sources[5] = PieceSource::Nobody;
    picker.Update(sources, false);
    EXPECT_FALSE(picker.HashFailed(3)) << "never given by the origin";
    const int first = picker.Next(0);
    ASSERT_TRUE(first == 3 || first == 5) << first;
    picker.Done(first, true, 100);
    EXPECT_TRUE(picker.HashFailed(first));
    EXPECT_FALSE(picker.HashFailed(first)) << "one failure per piece given";
    EXPECT_EQ(picker.Next(200), first) << "fetched again at once, not after kRefetchMs";
    picker.Done(first, true, 300);
    EXPECT_TRUE(picker.HashFailed(first));
    const int other = first == 3 ? 5 : 3;
    EXPECT_EQ(picker.Next(400), other);
    picker.Done(other, false, 500);
    EXPECT_EQ(picker.Next(600), other) << "the other piece is still the origin's";
    picker.Done(other, false, 700);
    for (std::uint32_t now = 800; now < 3 * OriginPicker::kRefetchMs; now += 1000) {
        const int next = picker.Next(now);
        EXPECT_NE(next, first) << "a piece the origin gave bad twice is the peers'";
        if (next >= 0) picker.Done(next, false, now);
    }
}

// Pieces that peers sent bad are no reason to leave a healthy origin: only failures of pieces
// the origin gave count toward the fetcher's give-up.
TEST(OriginFetcher, FailuresOfPiecesItNeverGaveDoNotCount) {
    HttpUrl url;
    ASSERT_TRUE(ParseHttpUrl("http://127.0.0.1:9/MirelSetup.exe", url));
    OriginFetcher fetcher(lt::torrent_handle(), url, "", 16 * 1024, kPieces * 16 * 1024, kPieces);
    for (int i = 0; i < 20; ++i) fetcher.HashFailed(i % kPieces);
    EXPECT_FALSE(fetcher.GaveUp()) << "none of them was the origin's";
}

TEST(OriginPicker, LaunchersStartingTogetherFetchDifferentStretches) {
    // Four launchers, each seeing what the others fetched one look (four picks) late: the
    // origin sends the torrent about once.
    constexpr int n = 2048, launchers = 4, picksPerLook = 4;
    std::vector<OriginPicker> pickers;
    for (int i = 0; i < launchers; ++i) pickers.emplace_back(n, 1000u + 7919u * i);
    std::vector<int> sent(n, 0);
    std::vector<char> visible(n, 0);
    int total = 0;
    for (int look = 0; look < 10000; ++look) {
        std::vector<PieceSource> sources(n);
        for (int p = 0; p < n; ++p) sources[p] = visible[p] ? PieceSource::Peer : PieceSource::Nobody;
        std::vector<int> fetched;
        for (OriginPicker& picker : pickers) {
            picker.Update(sources, false);
            for (int k = 0; k < picksPerLook; ++k) {
                const int piece = picker.Next(0);
                if (piece < 0) break;
                picker.Done(piece, true, 0);
                ++sent[piece];
                ++total;
                fetched.push_back(piece);
            }
        }
        if (fetched.empty()) break;
        for (int p : fetched) visible[p] = 1;
    }
    for (int p = 0; p < n; ++p) ASSERT_GE(sent[p], 1) << p;
    EXPECT_LE(total, n * 102 / 100) << "the origin sent " << total << " pieces of " << n;
}

TEST(OriginPace, PeersSlowerThanTheOriginOnlyOnTheMeanOfThreeSeconds) {
    OriginPace pace;
    for (int i = 0; i < OriginPace::kWindow - 1; ++i) EXPECT_FALSE(pace.Look(0, 4 * kMiBps)) << "still measuring";
    EXPECT_TRUE(pace.Look(0, 4 * kMiBps)) << "peers bring nothing";
    EXPECT_EQ(pace.BestOriginRate(), 4 * kMiBps);
    // Peers at 8 MiB/s, the origin idle: after a window the peers' mean is above its best.
    bool slow = true;
    for (int i = 0; i < OriginPace::kWindow; ++i) slow = pace.Look(8 * kMiBps, 0);
    EXPECT_FALSE(slow);
    // One look without peer data does not make them slow; a window of 3 MiB/s does.
    EXPECT_FALSE(pace.Look(0, 0));
    for (int i = 0; i < OriginPace::kWindow; ++i) slow = pace.Look(3 * kMiBps, 0);
    EXPECT_TRUE(slow);
}

// ---------------------------------------------------------------------------------------------
// The ranged requests

TEST(HttpRange, ParsesHttpUrlsAndRefusesTheRest) {
    struct Row {
        const char* url;
        bool ok;
        const char* host;
        int port;
        const char* path;
        bool orHttps = false;
    } rows[] = {
        {"http://127.0.0.1:8080/MirelSetup.exe", true, "127.0.0.1", 8080, "/MirelSetup.exe"},
        {"HTTP://origin.example/dl/a.exe", true, "origin.example", 80, "/dl/a.exe"},
        {"http://origin.example", true, "origin.example", 80, "/"},
        {"https://origin.example/a.exe", false, "", 0, ""},
        {"http://user@origin.example/a.exe", false, "", 0, ""},
        {"http://origin.example:0/a.exe", false, "", 0, ""},
        {"http://origin.example:65536/a.exe", false, "", 0, ""},
        {"http://[::1]/a.exe", false, "", 0, ""},
        {"http:///a.exe", false, "", 0, ""},
        {"http://origin.example/a b.exe", false, "", 0, ""},
        // A handshake with the host of an origin over HTTPS.
        {"https://origin.example/a.exe", true, "origin.example", 443, "/a.exe", true},
        {"HTTPS://origin.example:8443/a.exe", true, "origin.example", 8443, "/a.exe", true},
        {"http://origin.example/a.exe", true, "origin.example", 80, "/a.exe", true},
        {"ftp://origin.example/a.exe", false, "", 0, "", true},
        {"https://user@origin.example/a.exe", false, "", 0, "", true},
    };
    for (const Row& row : rows) {
        HttpUrl url;
        ASSERT_EQ(ParseHttpUrl(row.url, url, row.orHttps), row.ok) << row.url;
        if (!row.ok) continue;
        EXPECT_EQ(url.host, row.host) << row.url;
        EXPECT_EQ(url.port, row.port) << row.url;
        EXPECT_EQ(url.path, row.path) << row.url;
    }
}

TEST(HttpRange, ReadsTheHeadOfAnAnswer) {
    HttpRangeHead head;
    ASSERT_TRUE(ParseRangeHead("HTTP/1.1 206 Partial Content\r\ncontent-length: 100\r\n"
                               "Content-Range: bytes 200-299/1000\r\n\r\n",
                               head));
    EXPECT_EQ(head.status, 206);
    EXPECT_EQ(head.contentLength, 100);
    EXPECT_EQ(head.rangeFirst, 200);
    EXPECT_EQ(head.rangeLast, 299);
    EXPECT_FALSE(head.close);
    ASSERT_TRUE(ParseRangeHead("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\n", head));
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.close);
    ASSERT_TRUE(ParseRangeHead("HTTP/1.0 206 Partial\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/*\r\n\r\n", head));
    EXPECT_TRUE(head.close) << "HTTP/1.0 closes unless told otherwise";
    for (const char* bad : {"HTTP/1.1 206 Partial\r\nContent-Length: 1\r\n", "SSH-2.0\r\n\r\n",
                            "HTTP/1.1 206 Partial\r\nContent-Length: -1\r\n\r\n",
                            "HTTP/1.1 206 Partial\r\nContent-Range: bytes 5/10\r\n\r\n",
                            "HTTP/1.1 206 Partial\r\nno colon\r\n\r\n"})
        EXPECT_FALSE(ParseRangeHead(bad, head)) << bad;
}

// Heads whose meaning two readers could take differently are refused, and the lists and forms
// HTTP allows are read whole.
TEST(HttpRange, RefusesAmbiguousHeadsAndReadsWholeFields) {
    const std::string status = "HTTP/1.1 206 Partial Content\r\n";
    const std::string range = "Content-Length: 5\r\nContent-Range: bytes 0-4/10\r\n";
    HttpRangeHead head;
    for (const std::string& bad : {
             std::string("HTTP/1.1 2060 Partial\r\n") + range + "\r\n",  // a four-digit status
             std::string("HTTP/1.x 206 Partial\r\n") + range + "\r\n",
             status + range + "Content-Length: 6\r\n\r\n",               // two lengths
             status + range + "Content-Range: bytes 1-5/10\r\n\r\n",    // two ranges
             status + "Content-Length: 5\r\nContent-Range: bytes 0-4/ten\r\n\r\n",
             status + "Content-Length: 5\r\nContent-Range: bytes 0-4/\r\n\r\n",
             status + "Content-Length: 5\r\nContent-Range: bytes 0-4/4\r\n\r\n",  // past the end
             status + "Content-Length: 5\r\nContent-Range: bytes 4-0/10\r\n\r\n",
             status + " " + range + "\r\n",  // whitespace before the first field
             status + range + "Transfer-Encoding: chunked\r\n\r\n",
         })
        EXPECT_FALSE(ParseRangeHead(bad, head)) << bad;

    ASSERT_TRUE(ParseRangeHead(status + range + "content-length: 005\r\n\r\n", head)) << "the same length twice";
    EXPECT_EQ(head.contentLength, 5);
    // A folded line belongs to the field above it: this is no second Content-Length.
    ASSERT_TRUE(ParseRangeHead(status + range + "X-Note: a\r\n Content-Length: 999\r\n\r\n", head));
    EXPECT_EQ(head.contentLength, 5);
    ASSERT_TRUE(ParseRangeHead(status + "Content-Length:\r\n\t5\r\nContent-Range: bytes\r\n 0-4/10\r\n\r\n", head));
    EXPECT_EQ(head.contentLength, 5);
    EXPECT_EQ(head.rangeLast, 4);
    ASSERT_TRUE(ParseRangeHead("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: BYTES */1000\r\n\r\n", head));
    EXPECT_EQ(head.status, 416);
    EXPECT_EQ(head.rangeFirst, -1);
    EXPECT_EQ(head.rangeLast, -1);

    ASSERT_TRUE(ParseRangeHead(status + range + "Connection: keep-alive, close\r\n\r\n", head));
    EXPECT_TRUE(head.close);
    ASSERT_TRUE(ParseRangeHead(status + range + "Connection: close\r\nConnection: keep-alive\r\n\r\n", head));
    EXPECT_TRUE(head.close);
    ASSERT_TRUE(ParseRangeHead("HTTP/1.0 206 Partial\r\n" + range + "Connection: Keep-Alive, TE\r\n\r\n", head));
    EXPECT_FALSE(head.close);
    ASSERT_TRUE(ParseRangeHead("HTTP/1.0 206 Partial\r\n" + range + "Connection: TE\r\n\r\n", head));
    EXPECT_TRUE(head.close);
}

namespace {

// A one-connection-at-a-time server on 127.0.0.1 that answers each request with the given
// answers in turn (closing the connection after an answer marked so).
class ScriptedServer {
public:
    struct Answer {
        std::string bytes;
        bool close;
        DWORD delayMs = 0;  // before the answer
        DWORD trickleMs = 0;  // the bytes after the head one at a time, this far apart
    };
    explicit ScriptedServer(std::vector<Answer> answers) : m_answers(std::move(answers)) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        int len = sizeof(addr);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::listen(m_listen, 4);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        m_done = true;
        ::closesocket(m_listen);
        m_thread.join();
        ::WSACleanup();
    }
    int port = 0;
    std::vector<std::string> requests;
    int connections = 0;

private:
    void Serve() {
        std::size_t next = 0;
        while (next < m_answers.size()) {
            SOCKET s = ::accept(m_listen, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            ++connections;
            std::string got;
            char buf[4096];
            while (next < m_answers.size()) {
                while (got.find("\r\n\r\n") == std::string::npos) {
                    const int n = ::recv(s, buf, sizeof(buf), 0);
                    if (n <= 0) break;
                    got.append(buf, static_cast<std::size_t>(n));
                }
                const std::size_t end = got.find("\r\n\r\n");
                if (end == std::string::npos) break;
                requests.push_back(got.substr(0, end));
                got.erase(0, end + 4);
                const Answer& a = m_answers[next++];
                if (a.delayMs) ::Sleep(a.delayMs);
                if (a.trickleMs) {
                    const std::size_t head = a.bytes.find("\r\n\r\n") + 4;
                    ::send(s, a.bytes.data(), static_cast<int>(head), 0);
                    for (std::size_t i = head; i < a.bytes.size() && !m_done; ++i) {
                        if (::send(s, &a.bytes[i], 1, 0) != 1) break;
                        ::Sleep(a.trickleMs);
                    }
                } else {
                    ::send(s, a.bytes.data(), static_cast<int>(a.bytes.size()), 0);
                }
                if (a.close) break;
            }
            ::shutdown(s, SD_BOTH);
            ::closesocket(s);
        }
    }
    SOCKET m_listen;
    std::atomic<bool> m_done{false};
    std::vector<Answer> m_answers;
    std::thread m_thread;
};

}  // namespace

HttpUrl InstallerAt(int port) {
    HttpUrl url;
    EXPECT_TRUE(ParseHttpUrl("http://127.0.0.1:" + std::to_string(port) + "/MirelSetup.exe", url));
    return url;
}

TEST(HttpRange, FetchesRangesOverOneConnectionAndRefusesWrongAnswers) {
    ScriptedServer server({
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\nContent-Range: bytes 10-13/100\r\n\r\nabcd", false},
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 2\r\nContent-Range: bytes 20-21/100\r\n\r\nxy", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", true},
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 2\r\nContent-Range: bytes 30-31/100\r\n\r\nz", true},
    });
    const HttpUrl url = InstallerAt(server.port);
    HttpRangeClient client(url, "127.0.0.1");
    std::atomic<bool> stop{false};
    std::vector<char> out;
    std::string error;
    ASSERT_TRUE(client.Get(10, 4, out, error, stop)) << error;
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcd");
    ASSERT_TRUE(client.Get(20, 2, out, error, stop)) << error;
    EXPECT_EQ(std::string(out.begin(), out.end()), "xy");
    EXPECT_FALSE(client.Get(0, 4, out, error, stop)) << "a whole body is not the range asked for";
    EXPECT_NE(error.find("200"), std::string::npos) << error;
    EXPECT_FALSE(client.Get(30, 2, out, error, stop)) << "a body cut short";
    EXPECT_EQ(server.requests.size(), 4u);
    EXPECT_NE(server.requests[0].find("Range: bytes=10-13"), std::string::npos) << server.requests[0];
    EXPECT_NE(server.requests[0].find("GET /MirelSetup.exe HTTP/1.1"), std::string::npos);
    EXPECT_EQ(server.connections, 3) << "the first two on one connection";
}

// The line's round trips: a request's wait for its answer on a kept connection, and a
// handshake; neither is made up where nothing was measured.
TEST(HttpRange, MeasuresTheWaitForAnAnswerAndAHandshake) {
    ScriptedServer server({
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/100\r\n\r\na", false, 150},
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\nContent-Range: bytes 1-1/100\r\n\r\nb", true, 150},
    });
    const HttpUrl url = InstallerAt(server.port);
    HttpRangeClient client(url, "127.0.0.1");
    std::atomic<bool> stop{false};
    std::vector<char> out;
    std::string error;
    ASSERT_TRUE(client.Get(0, 1, out, error, stop)) << error;
    EXPECT_LT(client.LastWaitMs(), 0) << "a new connection's first answer also waited for the handshake";
    ASSERT_TRUE(client.Get(1, 1, out, error, stop)) << error;
    EXPECT_GE(client.LastWaitMs(), 145) << "the server held its answer 150 ms";

    HttpRangeClient probe(url, "127.0.0.1");
    EXPECT_GE(probe.Handshake(error, stop), 0) << error;
    EXPECT_GE(probe.Handshake(error, stop), 0) << "again, on the address resolved once: " << error;
    // A port nobody listens on: no round trip, and a reason.
    HttpUrl closed = url;
    {
        ScriptedServer gone({});
        closed.port = gone.port;
    }
    HttpRangeClient refused(closed, "127.0.0.1");
    error.clear();
    EXPECT_LT(refused.Handshake(error, stop), 0);
    EXPECT_FALSE(error.empty());
}

// An origin that sends its answer's head at once, then a byte every 20 ms (a 64 KiB piece would
// take 22 minutes): a stop ends the fetch at once, and so does the body's deadline.
TEST(HttpRange, ATricklingAnswerEndsAtAStopAndAtItsDeadline) {
    const std::string answer = "HTTP/1.1 206 Partial Content\r\nContent-Length: 65536\r\n"
                               "Content-Range: bytes 0-65535/65536\r\n\r\n" + std::string(65536, 'x');
    {
        ScriptedServer server({{answer, true, 0, 20}});
        HttpRangeClient client(InstallerAt(server.port), "127.0.0.1");
        std::atomic<bool> stop{false};
        std::vector<char> out;
        std::string error;
        DWORD stopped = 0, returned = 0;
        std::thread stopper([&] {
            ::Sleep(600);  // bytes are coming by then
            stopped = ::GetTickCount();
            stop = true;
        });
        EXPECT_FALSE(client.Get(0, 65536, out, error, stop));
        returned = ::GetTickCount();
        stopper.join();
        EXPECT_EQ(error, "stopped");
        EXPECT_LT(returned - stopped, 2000u) << "the stop was not seen while the body kept coming";
    }
    {
        ScriptedServer server({{answer, true, 0, 20}});
        HttpRangeClient client(InstallerAt(server.port), "127.0.0.1");
        client.SetBodyDeadline(500, 64 * 1024);  // 1.5 s for 64 KiB
        std::atomic<bool> stop{false};
        std::vector<char> out;
        std::string error;
        EXPECT_FALSE(client.Get(0, 65536, out, error, stop));
        EXPECT_EQ(error.rfind("the answer came too slowly (", 0), 0u) << error;
    }
}

namespace {
constexpr int kKiBps = 1024;
// Round trips of `ms` each, `n` of them.
std::vector<double> Trips(double ms, int n = 2) { return std::vector<double>(static_cast<std::size_t>(n), ms); }
}  // namespace

// The upload governor's decision table: the queue is the least of the last round trips over
// the least of the last minutes; under the target the limit rises (up to half again the upload),
// over it the limit falls in proportion, once per the queue's own length, and not far under
// what the line carried while the queue stood.
TEST(LineGovernor, FollowsTheQueueNotTheRates) {
    LineGovernor line;
    std::uint32_t now = 0;
    // A line without a queue: 20 ms round trips while uploading at 1 MiB/s. No limit.
    for (int i = 0; i < 8; ++i, now += 250) EXPECT_EQ(line.Look(Trips(20), kMiBps, now), -1) << i;
    EXPECT_EQ(line.BaseMs(), 20);
    EXPECT_EQ(line.Limit(), 0);
    // One round trip of a burst among low ones is not a queue: the least of the last half second.
    EXPECT_EQ(line.Look({20, 400}, kMiBps, now), -1);
    EXPECT_EQ(line.QueueMs(), 0);
    // Looks without round trips change nothing.
    EXPECT_EQ(line.Look({}, kMiBps, now += 250), -1);
    // The queue fills (round trips 520 ms): a limit at three quarters of the upload, once every
    // round trip of the last half second is high.
    EXPECT_EQ(line.Look({20}, kMiBps, now += 250), -1);
    EXPECT_EQ(line.Look(Trips(520), kMiBps, now += 250), -1) << "a low one of the last half second";
    EXPECT_EQ(line.Look(Trips(520), kMiBps, now += 250), kMiBps * 3 / 4);
    EXPECT_EQ(line.QueueMs(), 500);
    EXPECT_EQ(line.Carried(), kMiBps);
    // The queue of 500 ms cannot be gone before 500 ms: no second cut for it meanwhile.
    EXPECT_EQ(line.Look(Trips(520), kMiBps * 3 / 4, now += 250), -1);
    // Then a quarter less, but not below 0.7 of what the line carried while the queue stood.
    const int cut = line.Look(Trips(520), kMiBps * 3 / 4, now += 250);
    EXPECT_EQ(cut, static_cast<int>(line.Carried() * LineGovernor::kLeastOfCarried));
    EXPECT_GT(cut, kMiBps * 3 / 4 * 3 / 4) << "a quarter less would be under it";
    // A line that carries little for the torrent (another program's upload shares it): the
    // cuts go down to the floor.
    for (int i = 0; i < 100; ++i) line.Look(Trips(1000), LineGovernor::kFloor, now += 250);
    EXPECT_EQ(line.Limit(), LineGovernor::kFloor);
    // Under the target: up by an eighth (at least kStep) times how far under it the queue is...
    EXPECT_EQ(line.Look(Trips(20), 100 * kKiBps, now += 250),
              LineGovernor::kFloor + LineGovernor::kStep);
    // ... but no further than half again what the torrent uploads.
    for (int i = 0; i < 100; ++i) line.Look(Trips(20), 100 * kKiBps, now += 250);
    EXPECT_EQ(line.Limit(), 150 * kKiBps);
    EXPECT_EQ(line.Look(Trips(20), kMiBps, now += 250), 150 * kKiBps + 150 * kKiBps / 8);
    // Over the target by half of it, with little carried: an eighth less.
    EXPECT_EQ(line.Look(Trips(20 + LineGovernor::kTargetMs * 1.5), 0, now += 500),
              static_cast<int>((150 * kKiBps + 150 * kKiBps / 8) * (1.0 - 0.125)));
}

TEST(LineGovernor, AQueueThatIsNotTheUploadsAndTheBaseOfTenMinutes) {
    {
        // A noisy look on a fast line sets a limit the upload then never reaches, the line
        // keeping no queue: lifted once it has held nothing back for kLiftMs, and a queue that
        // comes again starts a new one from what the torrent sends then.
        LineGovernor line;
        std::uint32_t now = 0;
        line.Look(Trips(20), 8 * kMiBps, now);
        line.Look(Trips(520), 8 * kMiBps, now += 250);
        EXPECT_EQ(line.Look(Trips(520), 8 * kMiBps, now += 250), 6 * kMiBps);
        const std::uint32_t free = now += 250;
        for (; now - free < LineGovernor::kLiftMs; now += 250)
            ASSERT_EQ(line.Look(Trips(20), 2 * kMiBps, now), -1) << now - free;
        EXPECT_EQ(line.Look(Trips(20), 2 * kMiBps, now), 0) << "not lifted after holding nothing back";
        EXPECT_EQ(line.Limit(), 0);
        line.Look(Trips(520), 4 * kMiBps, now += 250);
        EXPECT_EQ(line.Look(Trips(520), 4 * kMiBps, now += 250), 3 * kMiBps);
    }
    {
        // A limit that holds the upload (the torrent sends all it lets through) is never lifted,
        // however long the line keeps no queue; nor is one that was binding until a moment ago.
        LineGovernor line;
        std::uint32_t now = 0;
        line.Look(Trips(20), kMiBps, now);
        line.Look(Trips(520), kMiBps, now += 250);
        ASSERT_EQ(line.Look(Trips(520), kMiBps, now += 250), kMiBps * 3 / 4);
        for (int i = 0; i < 40; ++i) line.Look(Trips(20), line.Limit(), now += 250);
        EXPECT_GT(line.Limit(), kMiBps * 3 / 4);
        const int held = line.Limit();
        for (int i = 0; i < 100; ++i) line.Look(Trips(20), held / 2, now += 250);  // 25 s free
        line.Look(Trips(20), line.Limit(), now += 250);
        for (int i = 0; i < 100; ++i) line.Look(Trips(20), held / 2, now += 250);
        EXPECT_GT(line.Limit(), 0) << "the free time must be in one stretch";
    }
    {
        // Hardly any upload: a queue that others fill starts no limit.
        LineGovernor line;
        EXPECT_EQ(line.Look(Trips(20), 0, 0), -1);
        for (int i = 1; i < 10; ++i) EXPECT_EQ(line.Look(Trips(600), LineGovernor::kFloor, 250u * i), -1) << i;
        EXPECT_EQ(line.Limit(), 0);
    }
    {
        // A route that becomes longer (the base from 20 to 80 ms): its round trips count as a
        // queue until the older minutes are forgotten, and no longer after ten minutes.
        LineGovernor line;
        line.Look(Trips(20), 0, 0);
        std::uint32_t now = 1000;
        for (; now < 10u * 60 * 1000 - 1000; now += 1000) line.Look(Trips(80), 0, now);
        EXPECT_EQ(line.BaseMs(), 20);
        EXPECT_EQ(line.QueueMs(), 60);
        for (; now < 11u * 60 * 1000; now += 1000) line.Look(Trips(80), 0, now);
        EXPECT_EQ(line.BaseMs(), 80);
        EXPECT_EQ(line.QueueMs(), 0);
    }
    {
        // The player's own limit is the ceiling: set at the first look, and the governor's
        // limit never raises it.
        LineGovernor line;
        line.SetCeiling(300 * kKiBps);
        EXPECT_EQ(line.Look(Trips(20), 250 * kKiBps, 250), -1) << "the torrent has it already";
        EXPECT_EQ(line.Look(Trips(600), 250 * kKiBps, 750), 250 * kKiBps * 3 / 4) << "the governor's is lower";
        for (int i = 0; i < 100; ++i) line.Look(Trips(20), 300 * kKiBps, 1000 + 250u * i);
        EXPECT_EQ(line.Look({}, 300 * kKiBps, 60000), -1);
        EXPECT_GT(line.Limit(), 300 * kKiBps);
    }
}
