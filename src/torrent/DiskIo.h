// The launcher's disk back-end for libtorrent: pooled Win32 handles, one worker thread that
// writes, reads and hashes, completions handed back to the network thread in batches. Its
// parts: DiskFilePool (open files), PositionalIo (reads and writes at offsets), DiskStorage (a
// torrent's files), RunningPieceHash (hashes kept up to date as blocks arrive), DiskWorker
// (the queue and its thread), DiskJobs (what the worker runs) and StockDiskIo (the library's own
// back-end, for the rare whole-file operations); DiskIo.cpp only adapts them to the library's
// interface.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/io_context.hpp>
#include <libtorrent/performance_counters.hpp>
#include <libtorrent/settings_pack.hpp>

namespace lt = libtorrent;

// Called before every write of a file's part; a nonzero result is taken as that write's Win32
// error (faults are injected through it).
using WriteFault = std::function<DWORD(lt::file_index_t file, std::int64_t offset)>;

struct DiskIoOptions {
    WriteFault writeFault;
    // A write that fails because the disk is full is tried again after this long; the data
    // waits in memory meanwhile and peers are held back. Other jobs go on meanwhile.
    DWORD diskFullRetryMs = 2000;
    // Called as each job's completion is queued for the network thread; an exception from it
    // is taken as a failure of that job's bookkeeping (used to inject faults).
    std::function<void()> completionFault;
    // Called on the worker as soon as the library's own back-end has answered a call passed
    // on to it: what follows may need no memory (used to inject faults).
    std::function<void()> libraryAnswered;
};

std::unique_ptr<lt::disk_interface> MakeDiskIo(lt::io_context& ios, lt::settings_interface const& settings,
                                               lt::counters& counters, DiskIoOptions options = DiskIoOptions());

// Tests: the write fault of the back-end LauncherDiskIoConstructor makes (set before the session).
extern WriteFault g_launcherWriteFaultForTests;

// For session_params::disk_io_constructor.
std::unique_ptr<lt::disk_interface> LauncherDiskIoConstructor(lt::io_context& ios,
                                                              lt::settings_interface const& settings,
                                                              lt::counters& counters);

