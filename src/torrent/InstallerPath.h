// Where a torrent's content lies on disk and how it is opened: in UTF-16 throughout, so that
// no character of a torrent's name passes through the ANSI code page (whose best-fit mapping
// turns some characters into path separators, and others into '?').
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include <libtorrent/torrent_handle.hpp>

// True when `path`, normalised, lies strictly below `folder`, normalised.
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder);

// The path of what a finished torrent opens: its one file, or its folder when it has several,
// under the library's save path, normalised. False when the path cannot be formed or is not
// inside `folder`.
bool ContentPath(const lt::torrent_handle& handle, const std::wstring& folder, std::wstring& out);

// Opens a file with the shell's "open" verb, without the shell's error dialogs. The calling
// thread must have initialised COM (single-threaded apartment). True when the shell took it.
bool ShellOpen(const std::wstring& path);
