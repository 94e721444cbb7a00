// How this launcher runs: where it downloads, where it listens, its transfer limits and whether
// it adds only a description whose signature it checked. Made once when the program starts and
// given to the main window, which changes one thing only: when the shared download folder cannot
// be used, the download folder becomes the user's own (ui/LaunchSequence.cpp, EnsureDownloadDir),
// once, before any monitor runs.
#pragma once
#include <string>

struct LaunchConfig {
    std::string downloadDir;         // the download folder, with a trailing separator
    // The user's own download folder, with a trailing separator: used when the shared one above
    // is another user's, a link, a file, or cannot be made. Empty: none.
    std::string ownDownloadDir;
    int listenPort = 6881;           // first port of the listen range (ten more follow); 0: any
    std::string listenInterface;     // empty: all interfaces
    int storageMode = 1;             // the library's storage mode: sparse
    int uploadLimit = 0;             // per torrent, bytes a second; 0: no limit
    int downloadLimit = 0;           // per torrent, bytes a second; 0: no limit
    int maxConnectionsPerTorrent = 50;
    // Built with a publisher key: only the description whose signature this run checked is added.
    bool signedOnly = false;
};

// This machine's configuration: "<system drive>\Down\Mirel Online\", the user's own
// "<local application data>\Mirel Online\" (both read in UTF-16 from the system's known
// folders), the listen interface the environment asks for; `signedOnly` when the program
// carries a publisher key.
LaunchConfig MachineLaunchConfig(bool signedOnly = false);

// A folder's path in the ANSI code page that names exactly that folder: the path itself when
// the code page has every character of it, else its short (8.3) form when that one has them.
// Empty when neither does.
std::string AnsiFolderPath(const std::wstring& folder);

// The listen interface the environment asks for: MIREL_LISTEN_INTERFACE holding an IPv4
// address in 127.0.0.0/8 or 198.18.0.0/15, in its plain dotted form. Empty (all interfaces)
// when the variable is unset or holds anything else.
std::string ListenInterfaceFromEnvironment();
