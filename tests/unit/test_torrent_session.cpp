// The BitTorrent session's fixed configuration, the saved session state and the session's
// start, with the real library under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <libtorrent/alert.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/entry.hpp>
#include <libtorrent/session_params.hpp>

#include "launcher/LaunchConfig.h"
#include "test_torrent_support.h"
#include "torrent/SessionSettings.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

namespace {

using sp = lt::settings_pack;

std::string Bencoded(const lt::entry& e) {
    std::string out;
    lt::bencode(std::back_inserter(out), e);
    return out;
}

}  // namespace

TEST(TorrentSettings, ListenInterfaceFromEnvironmentTakesOnlyLoopbackAndBenchmarkAddresses) {
    const char* name = "MIREL_LISTEN_INTERFACE";
    ASSERT_TRUE(::SetEnvironmentVariableA(name, nullptr));
    EXPECT_EQ(ListenInterfaceFromEnvironment(), "");
    ASSERT_TRUE(::SetEnvironmentVariableA(name, "127.0.0.12"));
    EXPECT_EQ(ListenInterfaceFromEnvironment(), "127.0.0.12");
    ASSERT_TRUE(::SetEnvironmentVariableA(name, "127.000.0.012"));
    EXPECT_EQ(ListenInterfaceFromEnvironment(), "127.0.0.12");
    ASSERT_TRUE(::SetEnvironmentVariableA(name, "198.19.0.11"));
    EXPECT_EQ(ListenInterfaceFromEnvironment(), "198.19.0.11");
    for (const char* refused : {"", "0.0.0.0", "10.0.0.2", "198.20.0.1", "198.17.0.1", "127.0.0.256", "127.0.0", "127.0.0.1.5", "127.0.0.1 ",
                                "127.0.0.-1", "127.0.0.1:80", "localhost", "::1"}) {
        ASSERT_TRUE(::SetEnvironmentVariableA(name, refused));
        EXPECT_EQ(ListenInterfaceFromEnvironment(), "") << refused;
    }
    ASSERT_TRUE(::SetEnvironmentVariableA(name, nullptr));
    EXPECT_EQ(MachineLaunchConfig().listenInterface, "");
    ASSERT_TRUE(::SetEnvironmentVariableA(name, "127.0.0.7"));
    EXPECT_EQ(MachineLaunchConfig().listenInterface, "127.0.0.7");
    ASSERT_TRUE(::SetEnvironmentVariableA(name, nullptr));
    // An interface of its own: listening and connecting from that address alone.
    sp ownPack = MakeSessionSettings(7000, "127.0.0.3");
    EXPECT_EQ(ownPack.get_str(sp::listen_interfaces), "127.0.0.3:7000");
    EXPECT_EQ(ownPack.get_str(sp::outgoing_interfaces), "127.0.0.3");
    EXPECT_EQ(MakeSessionSettings(7000, "").get_str(sp::outgoing_interfaces), "");
}

// ---- the saved session state

class SessionStateTest : public ::testing::Test {
protected:
    std::string file() const { return dir / ".ses_state"; }
    TempDir dir;
};

TEST_F(SessionStateTest, MissingEmptyBrokenOrTooDeepStateIsSkipped) {
    lt::session_params params;
    EXPECT_FALSE(ReadSessionState(file().c_str(), params)) << "missing";
    ASSERT_TRUE(WriteBytes(file(), ""));
    EXPECT_FALSE(ReadSessionState(file().c_str(), params)) << "empty";
    ASSERT_TRUE(WriteBytes(file(), "d8:settingsd10:user_agent"));
    EXPECT_FALSE(ReadSessionState(file().c_str(), params)) << "cut short";
    ASSERT_TRUE(WriteBytes(file(), "i42e"));
    EXPECT_FALSE(ReadSessionState(file().c_str(), params)) << "not a dictionary";
    // Nesting: 1000 levels are read, 1001 are not.
    auto nested = [](int depth) { return "d1:x" + std::string(depth - 1, 'l') + std::string(depth - 1, 'e') + "e"; };
    ASSERT_TRUE(WriteBytes(file(), nested(1001)));
    EXPECT_FALSE(ReadSessionState(file().c_str(), params)) << "1001 levels";
    ASSERT_TRUE(WriteBytes(file(), nested(1000)));
    EXPECT_TRUE(ReadSessionState(file().c_str(), params)) << "1000 levels";
}

TEST_F(SessionStateTest, ProgramSettingsWinTheStateKeepsDhtTuningEncryptionAndNodes) {
    lt::entry state;
    lt::entry& settings = state["settings"];
    settings["user_agent"] = "someone else";
    settings["proxy_type"] = static_cast<int>(sp::socks5);
    settings["proxy_hostname"] = "proxy.example";
    settings["enable_dht"] = 0;
    settings["dht_bootstrap_nodes"] = "elsewhere:1";
    settings["listen_interfaces"] = "0.0.0.0:1234";
    settings["connections_limit"] = 7;
    settings["dht_max_peers_reply"] = 77;
    settings["out_enc_policy"] = static_cast<int>(sp::pe_forced);
    lt::entry& dht = state["dht state"];
    dht["node-id"] = std::string(20, '\x11');
    ASSERT_TRUE(WriteBytes(file(), Bencoded(state)));

    lt::session_params loaded;
    ASSERT_TRUE(ReadSessionState(file().c_str(), loaded));
    sp program = MakeSessionSettings(6881, "");
    lt::session_params merged = MergeSessionState(std::move(loaded), program);
    const sp& s = merged.settings;
    EXPECT_EQ(s.get_str(sp::user_agent), "Mirel_Online/0.15.5.0");
    EXPECT_EQ(s.get_int(sp::proxy_type), sp::none);
    EXPECT_EQ(s.get_str(sp::proxy_hostname), "");
    EXPECT_TRUE(s.get_bool(sp::enable_dht));
    EXPECT_EQ(s.get_str(sp::dht_bootstrap_nodes), program.get_str(sp::dht_bootstrap_nodes));
    EXPECT_EQ(s.get_str(sp::listen_interfaces), "0.0.0.0:6881,[::]:6881");
    EXPECT_EQ(s.get_int(sp::connections_limit), lt::default_settings().get_int(sp::connections_limit));
    EXPECT_EQ(s.get_int(sp::dht_max_peers_reply), 77);
    EXPECT_EQ(s.get_int(sp::out_enc_policy), sp::pe_forced);
    ASSERT_FALSE(merged.dht_state.nids.empty());
    EXPECT_EQ(merged.dht_state.nids.front().second, lt::sha1_hash(std::string(20, '\x11')));
}

// ---- the session's start

class SessionStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        download = work / "Down";
        ::CreateDirectoryA(download.c_str(), nullptr);
        DlgProbe::m_config(dlg).downloadDir = download + "\\";
    }
    void TearDown() override {
        for (SOCKET s : held) ::closesocket(s);
        if (winsock) ::WSACleanup();
    }
    lt::session& session() { return *DlgProbe::m_pSession(dlg)->session; }

    // Listens on the loopback ports first..last, so no one else can.
    void HoldPorts(int first, int last) {
        WSADATA wsa;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
        winsock = true;
        for (int port = first; port <= last; ++port) {
            SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            ASSERT_NE(s, INVALID_SOCKET);
            held.push_back(s);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<u_short>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << port;
            ASSERT_EQ(::listen(s, 1), 0);
        }
    }

    TempDir work;
    std::string download;
    CMirelLauncherDlg dlg;
    std::vector<SOCKET> held;
    bool winsock = false;
};

TEST_F(SessionStartTest, EmptyFolderStillAppliesTheSettingsAndAddsNothing) {
    CurrentDir cwd(work.path());
    EXPECT_TRUE(dlg.StartTorrentSession());
    EXPECT_TRUE(DlgProbe::m_torrentFiles(dlg).empty());
    ASSERT_NE(DlgProbe::m_pSession(dlg), nullptr);
    EXPECT_TRUE(DlgProbe::m_pSession(dlg)->handles.empty());
    sp applied = session().get_settings();
    EXPECT_EQ(applied.get_str(sp::user_agent), "Mirel_Online/0.15.5.0");
    EXPECT_EQ(applied.get_str(sp::peer_fingerprint), "-LT0F00-");
    EXPECT_EQ(applied.get_int(sp::choking_algorithm), sp::fixed_slots_choker);
    EXPECT_FALSE(applied.get_bool(sp::enable_outgoing_utp));  // connections out over TCP only
    // Listening within 6881..6891 (another session may hold a port of the range).
    ASSERT_TRUE(WaitUntil([&] { return session().is_listening(); }));
    EXPECT_GE(session().listen_port(), 6881);
    EXPECT_LE(session().listen_port(), 6891);
}

TEST_F(SessionStartTest, SavedStateInTheWorkingDirectoryIsReadNeverWritten) {
    lt::entry state;
    state["settings"]["dht_max_peers_reply"] = 55;
    state["settings"]["user_agent"] = "not ours";
    const std::string bytes = Bencoded(state);
    ASSERT_TRUE(WriteBytes(work / ".ses_state", bytes));
    {
        CurrentDir cwd(work.path());
        ASSERT_TRUE(dlg.StartTorrentSession());
        sp applied = session().get_settings();
        EXPECT_EQ(applied.get_int(sp::dht_max_peers_reply), 55);
        EXPECT_EQ(applied.get_str(sp::user_agent), "Mirel_Online/0.15.5.0");
    }
    std::string after;
    ASSERT_TRUE(ReadBytes(work / ".ses_state", after));
    EXPECT_EQ(after, bytes);
}

// The listen range is the first port and the next ten: the first free one is taken, and with all
// eleven held by others the session gives up and never listens.
TEST_F(SessionStartTest, ListensOnTheFirstFreePortOfTheRangeOrNotAtAll) {
    ASSERT_NO_FATAL_FAILURE(HoldPorts(27881, 27883));
    ASSERT_NO_FATAL_FAILURE(HoldPorts(26881, 26891));
    const struct {
        int first;
        int expected;  // 0: not listening
    } cases[] = {{27881, 27884}, {26881, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        CMirelLauncherDlg launcher(DlgProbe::m_config(dlg));
        DlgProbe::m_config(launcher).listenPort = c.first;
        DlgProbe::m_config(launcher).listenInterface = "127.0.0.1";
        {
            CurrentDir cwd(work.path());
            ASSERT_TRUE(launcher.StartTorrentSession());
        }
        lt::session& ses = *DlgProbe::m_pSession(launcher)->session;
        if (c.expected) {
            ASSERT_TRUE(WaitUntil([&] { return ses.is_listening(); }));
            EXPECT_EQ(ses.listen_port(), c.expected);
        } else {
            EXPECT_EQ(ses.get_settings().get_str(sp::listen_interfaces), "127.0.0.1:26881");
            EXPECT_FALSE(ses.is_listening());
        }
    }
}

// ---- text at the library's boundary

TEST(TorrentText, KoreanRoundTripAndPathFolding) {
    ASSERT_EQ(::GetACP(), 949u) << "the tests run with the Korean code page";
    const std::string ansi = "C:\\다운\\미렐온라인설치.exe";   // code page 949 in this source's execution set
    const std::string utf8 = u8"C:\\다운\\미렐온라인설치.exe";
    EXPECT_EQ(AnsiToUtf8(ansi), std::string(utf8.begin(), utf8.end()));
    EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(ansi)), ansi);
    EXPECT_EQ(ToLibraryPath("C:\\\\Down\\Mirel Online\\"), "C:\\Down\\Mirel Online\\");
    EXPECT_EQ(ToLibraryPath("C:/Down//x"), "C:\\Down\\x");
    EXPECT_EQ(ToLibraryPath("\\\\server\\share\\\\x"), "\\\\server\\share\\x");
    const std::string folded = u8"C:\\다운\\x";
    EXPECT_EQ(ToLibraryPath("C:\\\\다운\\x"), std::string(folded.begin(), folded.end()));
    // Broken UTF-8: refused where a name must be exact, replaced where a path of the library is
    // turned back into the system's form.
    std::wstring wide;
    EXPECT_FALSE(Utf8ToWide("x\xC3", wide));
    ASSERT_TRUE(Utf8ToWide("x\xC3", wide, BadUtf8::Replace));
    EXPECT_EQ(wide, L"x\xFFFD");
    EXPECT_EQ(WidePath("C:/x\xC3"), L"C:\\x\xFFFD");
}
