// The disk back-end's errors in the library's terms.
#pragma once
#include <windows.h>

#include <system_error>

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/error_code.hpp>

namespace lt = libtorrent;

// A Win32 error as the library's error code.
lt::error_code Win32Error(DWORD e);

// A C++ error as the library's, its category kept: the system's codes stay the system's
// (Win32 errors), the portable ones stay generic.
lt::error_code LibraryError(const std::error_code& e);

// A write the disk refused for want of space (it is tried again later).
bool IsDiskFull(const lt::storage_error& e);
