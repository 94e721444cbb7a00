// The BitTorrent session of the launcher: its fixed configuration and its start.
#include "torrent/TorrentSession.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include <libtorrent/alert.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/fingerprint.hpp>
#include <libtorrent/session_params.hpp>

#include "torrent/DiskIo.h"
#include "ui/MirelLauncherDlg.h"

namespace {

// The session state file, read from the working directory and never written.
const char kSessionStateFile[] = ".ses_state";
constexpr int kSessionStateDepthLimit = 1000;
// No file the program reads whole is anywhere near this; it keeps a broken one from taking
// the address space.
constexpr LONGLONG kMaxWholeFileSize = 64LL * 1024 * 1024;

// Three public DHT bootstrap routers, all on port 6881, in this order.
const char kDhtRouters[] = "router.bittorrent.com:6881,router.utorrent.com:6881,dht.transmissionbt.com:6881";
constexpr int kListenPortRetries = 10;  // the listen range is the first port and the next ten
constexpr int kReceiveSocketBuffer = 4 * 1024 * 1024;

std::string Convert(const std::string& text, UINT from, UINT to) {
    if (text.empty()) return std::string();
    int wide = ::MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wide <= 0) return text;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    ::MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), &w[0], wide);
    int narrow = ::WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (narrow <= 0) return text;
    std::string out(static_cast<size_t>(narrow), '\0');
    ::WideCharToMultiByte(to, 0, w.data(), wide, &out[0], narrow, nullptr, nullptr);
    return out;
}

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

std::string AnsiToUtf8(const std::string& text) { return Convert(text, CP_ACP, CP_UTF8); }

std::string Utf8ToAnsi(const std::string& text) { return Convert(text, CP_UTF8, CP_ACP); }

std::string ToLibraryPath(const std::string& ansiPath) {
    std::string folded;
    folded.reserve(ansiPath.size());
    for (size_t i = 0; i < ansiPath.size(); ++i) {
        char c = ansiPath[i] == '/' ? '\\' : ansiPath[i];
        // A leading "\\" (a network path) stays; elsewhere a run of separators is one.
        // No trail byte of code page 949 is a backslash, so this never splits a character.
        if (c == '\\' && i > 1 && !folded.empty() && folded.back() == '\\') continue;
        folded.push_back(c);
    }
    return AnsiToUtf8(folded);
}

bool ReadWholeFile(const std::string& ansiPath, std::vector<char>& buffer) {
    buffer.clear();
    HANDLE file = ::CreateFileA(ansiPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart <= kMaxWholeFileSize) {
        buffer.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = buffer.empty() ||
             (::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got == buffer.size());
        if (!ok) buffer.clear();
    }
    ::CloseHandle(file);
    return ok;
}

// How the fixed session configuration of the original client (libtorrent 0.15) maps to
// libtorrent 2.0, where one settings pack replaces session_settings, proxy_settings and the
// session calls:
//   fingerprint "LT" 0.15.0.0         -> peer_fingerprint "-LT0F00-"
//   user agent                        -> user_agent "Mirel_Online/0.15.5.0"
//   add_default_plugins               -> the default plug-ins of session_params
//   start_default_features            -> enable_upnp, enable_natpmp, enable_lsd (defaults: on)
//   alert mask 0xFFFFF35F             -> the same categories by meaning: everything except
//                                        debug (connect and all *_log categories), progress
//                                        (file, piece, block progress, upload, incoming
//                                        request), DHT (dht, dht_operation) and statistics
//   auto_upload_slots_rate_based      -> choking_algorithm = rate_based_choker
//   announce_to_all_trackers          -> announce_to_all_trackers
//   use_dht_as_fallback               -> use_dht_as_fallback
//   add_dht_router x3, start_dht()    -> dht_bootstrap_nodes, enable_dht, given together when
//                                        the session is made, so the routers are known first
//   set_*_proxy (none, four times)    -> proxy_type none, empty host, port 0, no credentials
//                                        (2.0 has one proxy for all connection kinds)
//   listen_on(6881..6891, "")         -> listen_interfaces 0.0.0.0 and [::] at 6881,
//                                        max_retry_port_bind 10, no fall-back to a port the
//                                        system picks (no free port: no listening socket)
//   load_state(.ses_state)            -> read_session_params; then the program's settings
//                                        are put over it, as set_settings did (see
//                                        MergeSessionState)
//   set_settings                      -> the settings of session_params, in force before the
//                                        first torrent is added
//   add_torrent_params fields         -> torrent_flags paused | auto_managed, without
//                                        duplicate_is_error, seed_mode, upload_mode
//   storage default_storage_constructor -> the launcher's own disk back-end (DiskIo.cpp):
//                                        the library's 32-bit storage opens and closes the
//                                        file for every 16 KiB block and hashes on the
//                                        network thread
//   (TCP only; 0.15 had no uTP)       -> enable_outgoing_utp off: connections the program
//                                        opens are TCP, as they were; a peer that speaks
//                                        only TCP is reached at once instead of after a
//                                        failed uTP attempt (about 3.5 s). Peers may still
//                                        connect to it over uTP.
//   (memory)                          -> recv_socket_buffer_size 4 MiB: a peer connection
//                                        reads all its socket holds at once, and a system
//                                        that grows the socket's buffer (Linux to 32 MiB)
//                                        had tens of MiB held twice, in the connection and
//                                        waiting for the disk
// Dropped, because libtorrent 2.0 no longer has them (the program ignored their results and
// shows nothing that depends on them): the GeoIP databases (load_asnum_db, load_country_db),
// resolve_countries, the share ratio (set_ratio), disk_cache_algorithm and
// optimize_hashing_for_speed.
lt::settings_pack MakeSessionSettings(int listenPort, const std::string& listenInterface) {
    using sp = lt::settings_pack;
    sp pack = lt::default_settings();

    pack.set_str(sp::peer_fingerprint, lt::generate_fingerprint("LT", 0, 15, 0, 0));
    pack.set_str(sp::user_agent, "Mirel_Online/0.15.5.0");
    pack.set_int(sp::alert_mask, lt::alert_category::error | lt::alert_category::peer |
                                     lt::alert_category::port_mapping | lt::alert_category::storage |
                                     lt::alert_category::tracker | lt::alert_category::status |
                                     lt::alert_category::ip_block | lt::alert_category::performance_warning);

    pack.set_int(sp::choking_algorithm, sp::rate_based_choker);
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
    pack.set_int(sp::max_retry_port_bind, kListenPortRetries);
    pack.set_bool(sp::listen_system_port_fallback, false);

    pack.set_bool(sp::enable_outgoing_utp, false);
    pack.set_int(sp::recv_socket_buffer_size, kReceiveSocketBuffer);
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

BOOL CMirelLauncherDlg::StartTorrentSession() {
    FindTorrentFiles();
    if (m_pSession) return FALSE;  // one session per run; a second call adds nothing

    try {
        lt::settings_pack settings = MakeSessionSettings(m_nListenPort, m_strListenInterface);
        lt::session_params params;
        if (ReadSessionState(kSessionStateFile, params))
            params = MergeSessionState(std::move(params), settings);
        else
            params.settings = settings;

        params.disk_io_constructor = LauncherDiskIoConstructor;

        auto ses = std::make_unique<TorrentSession>();
        ses->session = std::make_unique<lt::session>(std::move(params));
        m_pSession = ses.release();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "torrent session: %s\n", e.what());
        return FALSE;
    }

    const std::string savePath = m_strSavePath.GetString();
    for (const std::string& file : m_torrentFiles)
        AddTorrent(*m_pSession, file, m_fPreferredRatio, m_nStorageMode, savePath, true, m_nTorrentUploadLimit,
                   m_nTorrentDownloadLimit);
    return TRUE;
}

void CMirelLauncherDlg::DestroyTorrentSession() {
    // Called once the monitor thread has stopped: nobody uses the handles any more.
    TorrentSession* ses = m_pSession;
    m_pSession = nullptr;
    try {
        delete ses;
    } catch (...) {
    }
}
