#include "torrent/TorrentSession.h"

#include <exception>

#include "common/Diagnostics.h"
#include "launcher/LaunchConfig.h"
#include "torrent/DiskIo.h"
#include "torrent/SessionSettings.h"

namespace {

// The session state file, read from the working directory and never written.
const char kSessionStateFile[] = ".ses_state";

}  // namespace

std::unique_ptr<TorrentSession> OpenTorrentSession(const LaunchConfig& config) {
    try {
        lt::settings_pack settings = MakeSessionSettings(config.listenPort, config.listenInterface);
        lt::session_params params;
        if (ReadSessionState(kSessionStateFile, params))
            params = MergeSessionState(std::move(params), settings);
        else
            params.settings = settings;
        params.disk_io_constructor = LauncherDiskIoConstructor;

        auto ses = std::make_unique<TorrentSession>();
        ses->session = std::make_unique<lt::session>(std::move(params));
        return ses;
    } catch (const std::exception& e) {
        DiagnosticLine(stderr, "torrent session: %s\n", e.what());
        return nullptr;
    }
}
