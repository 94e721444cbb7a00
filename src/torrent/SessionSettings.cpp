#include "torrent/SessionSettings.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <libtorrent/alert.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/fingerprint.hpp>
#include <libtorrent/session_handle.hpp>

#include "common/WholeFile.h"

namespace {

constexpr int kSessionStateDepthLimit = 1000;
// Three public DHT bootstrap routers, all on port 6881, in this order.
const char kDhtRouters[] = "router.bittorrent.com:6881,router.utorrent.com:6881,dht.transmissionbt.com:6881";
constexpr int kListenPortRetries = 10;  // the listen range is the first port and the next ten
constexpr int kReceiveSocketBuffer = 4 * 1024 * 1024;
constexpr int kTickMs = 100;
// Seconds before a peer whose connection ended is tried again (the library's 60, times one more
// for each failure).
constexpr int kReconnectSeconds = 5;

// The parts of a loaded state that the program's own settings do not replace: the DHT's own
// tuning and the encryption policy.
bool KeptFromSavedState(int setting) {
    const char* name = lt::name_for_setting(setting);
    if (!name || !*name) return false;
    if (std::strcmp(name, "dht_bootstrap_nodes") == 0) return false;  // the program's routers
    if (std::strncmp(name, "dht_", 4) == 0) return true;
    return std::strcmp(name, "out_enc_policy") == 0 || std::strcmp(name, "in_enc_policy") == 0 ||
           std::strcmp(name, "allowed_enc_level") == 0 || std::strcmp(name, "prefer_rc4") == 0;
}

}  // namespace

// The library's defaults with the program's own identity, DHT routers, no proxy, the listen
// range and its transfer settings. Not set, because this libtorrent has no such setting: the
// GeoIP databases, resolving countries, a share ratio, the disk cache algorithm and the hashing
// optimisation. Connections the program opens are TCP: a peer that speaks only TCP is then
// reached at once instead of after a failed uTP attempt (about 3.5 s); peers may still connect
// over uTP. The receive socket buffer is bounded: a peer connection reads all its socket holds,
// and a system that grows that buffer (Linux to 32 MiB) would have tens of MiB held twice.
// A web seed is asked for ranges of at most 1 MiB (the library's floor for a server that keeps
// connections open) instead of 16 MiB: a range is claimed from the web seed until it has all
// arrived, so with 16 MiB one request held an eighth of a 128 MiB installer for two seconds
// of an 8 MiB/s origin, and pieces other launchers had meanwhile were fetched from it again.
lt::settings_pack MakeSessionSettings(int listenPort, const std::string& listenInterface) {
    using sp = lt::settings_pack;
    sp pack = lt::default_settings();

    pack.set_str(sp::peer_fingerprint, lt::generate_fingerprint("LT", 0, 15, 0, 0));
    pack.set_str(sp::user_agent, "Mirel_Online/0.15.5.0");
    pack.set_int(sp::alert_mask, lt::alert_category::error | lt::alert_category::peer |
                                     lt::alert_category::port_mapping | lt::alert_category::storage |
                                     lt::alert_category::tracker | lt::alert_category::status |
                                     lt::alert_category::ip_block | lt::alert_category::performance_warning);

    // Fixed upload slots (the library's 8), not the rate-based ones: libtorrent 2.0's rate-based
    // choker unchokes only at its rounds, every 15 s, starting from one slot, so launchers that
    // start together trade almost nothing for the length of a download, and the web seeds
    // (torrent/WebSeedPolicy.h) could never hand over to them.
    pack.set_int(sp::choking_algorithm, sp::fixed_slots_choker);
    pack.set_bool(sp::announce_to_all_trackers, true);
    pack.set_bool(sp::use_dht_as_fallback, false);

    pack.set_str(sp::dht_bootstrap_nodes, kDhtRouters);
    pack.set_bool(sp::enable_dht, true);

    pack.set_int(sp::proxy_type, sp::none);
    pack.set_str(sp::proxy_hostname, "");
    pack.set_int(sp::proxy_port, 0);
    pack.set_str(sp::proxy_username, "");
    pack.set_str(sp::proxy_password, "");

    const std::string port = std::to_string(listenPort);
    pack.set_str(sp::listen_interfaces, listenInterface.empty()
                                            ? "0.0.0.0:" + port + ",[::]:" + port
                                            : listenInterface + ":" + port);
    // Connections the program opens leave from the same address it listens on, so that a
    // peer sees one address for it either way.
    if (!listenInterface.empty()) pack.set_str(sp::outgoing_interfaces, listenInterface);
    pack.set_int(sp::max_retry_port_bind, kListenPortRetries);
    pack.set_bool(sp::listen_system_port_fallback, false);

    pack.set_bool(sp::enable_outgoing_utp, false);
    // The upload limit (torrent/LineGovernor.h) is handed out as quota every tick: at the
    // library's 500 ms each tick's quota leaves in one burst, half a second of a narrow line's
    // queue at once; at 100 ms the bursts are a fifth of that.
    pack.set_int(sp::tick_interval, kTickMs);
    // Two launchers that learn of each other at the same moment (one from the tracker as it
    // starts, the other from that start's local discovery announce) connect to each other at
    // once. The library keeps one of the two connections by comparing listen ports, and on
    // equal ports (6881 on both: every launcher's first choice) each side drops one at random,
    // so half the time both go; the pair then waited a minute before trying again, which is
    // most of a download. Seats of one PC room all meet that way.
    pack.set_int(sp::min_reconnect_time, kReconnectSeconds);
    pack.set_int(sp::recv_socket_buffer_size, kReceiveSocketBuffer);
    pack.set_int(sp::urlseed_max_request_bytes, 1024 * 1024);
    return pack;
}

bool ReadSessionState(const char* fileName, lt::session_params& state) {
    std::vector<char> buffer;
    if (!ReadWholeFile(fileName, buffer) || buffer.empty()) return false;
    lt::error_code ec;
    // The library's decoder refuses a structure as deep as its limit; one more lets exactly
    // 1000 levels through.
    lt::bdecode_node root = lt::bdecode(buffer, ec, nullptr, kSessionStateDepthLimit + 1);
    if (ec || root.type() != lt::bdecode_node::dict_t) return false;
    state = lt::read_session_params(root, lt::session_handle::save_settings | lt::session_handle::save_dht_state);
    return true;
}

lt::session_params MergeSessionState(lt::session_params&& state, const lt::settings_pack& program) {
    lt::session_params merged(std::move(state));
    lt::settings_pack loaded = std::move(merged.settings);
    merged.settings = program;
    for (int i = 0; i < lt::settings_pack::num_string_settings; ++i) {
        int s = lt::settings_pack::string_type_base + i;
        if (loaded.has_val(s) && KeptFromSavedState(s)) merged.settings.set_str(s, loaded.get_str(s));
    }
    for (int i = 0; i < lt::settings_pack::num_int_settings; ++i) {
        int s = lt::settings_pack::int_type_base + i;
        if (loaded.has_val(s) && KeptFromSavedState(s)) merged.settings.set_int(s, loaded.get_int(s));
    }
    for (int i = 0; i < lt::settings_pack::num_bool_settings; ++i) {
        int s = lt::settings_pack::bool_type_base + i;
        if (loaded.has_val(s) && KeptFromSavedState(s)) merged.settings.set_bool(s, loaded.get_bool(s));
    }
    return merged;
}
