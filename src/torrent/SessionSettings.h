// The session's fixed configuration and the saved session state it may start from.
#pragma once
#include <string>

#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>

namespace lt = libtorrent;

// The session settings of the program, as a complete pack: the library defaults with the
// program's own values (identity, DHT routers, proxies, listen range, transfer settings).
lt::settings_pack MakeSessionSettings(int listenPort, const std::string& listenInterface);

// Reads a saved session state (".ses_state" form). True when the file was present, not empty
// and valid bencoding within the depth limit; then `state` holds what it carried.
bool ReadSessionState(const char* fileName, lt::session_params& state);

// Puts the program's settings over a loaded state: everything the program configures comes
// from `program`; the loaded state keeps only what the program does not configure (the DHT's
// own tuning and the encryption policy) and the DHT's node ids and routing table.
lt::session_params MergeSessionState(lt::session_params&& state, const lt::settings_pack& program);
