#include "launcher/LaunchConfig.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "common/CodePage.h"
#include "common/Diagnostics.h"

namespace {

// Several launchers on one machine (a benchmark, a test) each need an address of their own:
// peers are told apart by address. Unset for a player, and only a loopback or benchmark
// address counts.
const char kListenInterfaceVariable[] = "MIREL_LISTEN_INTERFACE";

// FOLDERID_System and FOLDERID_LocalAppData (knownfolders.h), here so that no GUID library is
// needed.
const GUID kSystemFolder = {0x1AC14E77, 0x02E7, 0x4E5D, {0xB7, 0x44, 0x2E, 0xB1, 0xAE, 0x51, 0x98, 0xB7}};
const GUID kLocalAppData = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

// A known folder's path in UTF-16, as the system keeps it (never through the ANSI code page);
// empty when it cannot be read.
std::wstring KnownFolder(const GUID& id) {
    PWSTR path = nullptr;
    std::wstring out;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) out = path;
    ::CoTaskMemFree(path);
    return out;
}

}  // namespace

std::string AnsiFolderPath(const std::wstring& folder) {
    if (folder.empty()) return std::string();
    const std::string ansi = WideToAnsi(folder);
    if (AnsiToWide(ansi) == folder) return ansi;
    // A name the code page lacks (a user's name in another script): the short form names the
    // same folder in characters it has.
    const DWORD n = ::GetShortPathNameW(folder.c_str(), nullptr, 0);
    if (n == 0) return std::string();
    std::wstring shortForm(n, L'\0');
    const DWORD got = ::GetShortPathNameW(folder.c_str(), &shortForm[0], n);
    if (got == 0 || got >= n) return std::string();
    shortForm.resize(got);
    const std::string shortAnsi = WideToAnsi(shortForm);
    return AnsiToWide(shortAnsi) == shortForm ? shortAnsi : std::string();
}

LaunchConfig MachineLaunchConfig(bool signedOnly) {
    LaunchConfig config;
    // The root of the system drive; an empty root when the system folder cannot be read.
    const std::wstring system = KnownFolder(kSystemFolder);
    const std::string root =
        system.size() >= 3 && system[1] == L':' && system[2] == L'\\' ? WideToAnsi(system.substr(0, 3)) : std::string();
    config.downloadDir = root + "\\Down\\Mirel Online\\";
    const std::wstring local = KnownFolder(kLocalAppData);
    if (!local.empty()) {
        const std::string ansi = AnsiFolderPath(local);
        if (!ansi.empty())
            config.ownDownloadDir = ansi + "\\Mirel Online\\";
        else
            DiagnosticLine(stderr, "%s: the user's own folder has no name in the code page; no download folder of the user's own\n",
                           WideToAnsi(local).c_str());
    }
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
