#include "launcher/LaunchConfig.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

namespace {

// Several launchers on one machine (a benchmark, a test) each need an address of their own:
// peers are told apart by address. Unset for a player, and only a loopback or benchmark
// address counts.
const char kListenInterfaceVariable[] = "MIREL_LISTEN_INTERFACE";

}  // namespace

LaunchConfig MachineLaunchConfig(bool signedOnly) {
    LaunchConfig config;
    // The root of the system drive; an empty root when the system folder cannot be read.
    char root[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathA(nullptr, root, CSIDL_SYSTEM, FALSE))
        root[3] = '\0';
    else
        root[0] = '\0';
    config.downloadDir = std::string(root) + "\\Down\\Mirel Online\\";
    char local[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathA(nullptr, local, CSIDL_LOCAL_APPDATA, FALSE) && local[0])
        config.ownDownloadDir = std::string(local) + "\\Mirel Online\\";
    config.listenInterface = ListenInterfaceFromEnvironment();
    config.signedOnly = signedOnly;
    return config;
}

std::string ListenInterfaceFromEnvironment() {
    char value[32] = {};
    DWORD n = ::GetEnvironmentVariableA(kListenInterfaceVariable, value, sizeof(value));
    if (n == 0 || n >= sizeof(value)) return {};
    if (std::strspn(value, "0123456789.") != n) return {};
    unsigned a = 0, b = 0, c = 0, d = 0;
    char rest = 0;
    if (std::sscanf(value, "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &rest) != 4) return {};
    // Loopback, or the block set aside for benchmarks (198.18.0.0/15), which the library does
    // not count as a local network: a benchmark can give a loopback device such addresses.
    if (!(a == 127 || (a == 198 && (b == 18 || b == 19))) || b > 255 || c > 255 || d > 255) return {};
    char canonical[16];
    std::snprintf(canonical, sizeof(canonical), "%u.%u.%u.%u", a, b, c, d);
    return canonical;
}
