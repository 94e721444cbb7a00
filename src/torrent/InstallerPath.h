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

// The path the shell is given: a path the plain form cannot carry (MAX_PATH characters or more)
// in the extended form, any other as it is.
std::wstring ShellPath(const std::wstring& path);

// Opens a file with the shell's "open" verb, without the shell's error dialogs, by its extended
// path when it is long. The calling thread must have initialised COM (single-threaded
// apartment). True when the shell took it; a program it starts has its process by then.
bool ShellOpen(const std::wstring& path);
