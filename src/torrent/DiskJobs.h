// The jobs DiskIo hands its worker, each one object from the library's call to its handler's:
// a job that keeps its handler's arguments as its result (most calls), the received block with
// its data in it, and a torrent's removal, made with the torrent so that removing it allocates
// nothing. The received blocks and the blocks read for peers come from a pool of their own.
#pragma once
#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <libtorrent/disk_interface.hpp>

#include "torrent/DiskFilePool.h"
#include "torrent/DiskIo.h"
#include "torrent/DiskStorage.h"
#include "torrent/DiskWorker.h"
#include "torrent/PositionalIo.h"
#include "torrent/RunningPieceHash.h"
#include "torrent/StockDiskIo.h"

namespace lt = libtorrent;

// What the worker's jobs use of the back-end: the open files and the calls that read and
// write them, and the count of what they did.
struct DiskFiles {
    DiskFilePool pool;
    PositionalIo io;
    WriteFault writeFault;
    DiskStats stats;            // worker thread
    std::vector<char> together;  // worker thread: blocks written with one call

    // Reads back written blocks of a piece to hash them.
    bool ReadBack(DiskStorage& st, lt::piece_index_t piece, int off, char* out, int len, lt::storage_error& err);
};

// Memory of a block's size and a little more: a received block's job, or a block read for a
// peer. Blocks given back are kept for the next (up to a bound), so that the heap is not asked
// for one per block: a block and its job are more than the largest size that Windows' heap
// serves from its low-fragmentation buckets.
class BlockMemory {
public:
    static constexpr size_t kSize = kBlockSize + 1024;
    // Throws std::bad_alloc.
    static void* Take();
    static void Give(void* p) noexcept;
    // Blocks taken and not given back.
    static int InUse();
};

template <class H>
bool HandlerIsSet(const H&) {
    return true;
}
template <class... A>
bool HandlerIsSet(const std::function<void(A...)>& h) {
    return static_cast<bool>(h);
}

// A job whose result is the tuple of arguments its handler is called with. `run` does the
// job on the worker and fills the result (false: the full disk refused a write); `fail` puts
// an error in it instead.
template <class Handler, class Result, class RunFn, class FailFn>
class HandlerJob final : public DiskJob {
public:
    HandlerJob(Kind k, lt::operation_t o, Handler h, Result initial, RunFn run, FailFn fail)
        : DiskJob(k, o),
          m_handler(std::move(h)),
          m_result(std::move(initial)),
          m_run(std::move(run)),
          m_fail(std::move(fail)) {}
    bool Run(DiskStorage& st, lt::storage_error& full) override { return m_run(st, m_result, full); }
    void Fail(const lt::storage_error& e) noexcept override { m_fail(m_result, e); }
    void Complete() override {
        if (HandlerIsSet(m_handler)) std::apply(m_handler, std::move(m_result));
    }

private:
    Handler m_handler;
    Result m_result;
    RunFn m_run;
    FailFn m_fail;
};

template <class Handler, class Result, class RunFn, class FailFn>
std::unique_ptr<DiskJob> MakeJob(DiskJob::Kind k, lt::operation_t op, Handler&& h, Result initial, RunFn&& run,
                                 FailFn&& fail) {
    return std::make_unique<HandlerJob<std::decay_t<Handler>, Result, std::decay_t<RunFn>, std::decay_t<FailFn>>>(
        k, op, std::forward<Handler>(h), std::move(initial), std::forward<RunFn>(run), std::forward<FailFn>(fail));
}

// A received block, its data in it: one allocation, from BlockMemory.
class WriteJob final : public DiskJob {
public:
    static void* operator new(size_t size);
    static void operator delete(void* p) noexcept { BlockMemory::Give(p); }

    WriteJob(DiskFiles& files, const lt::peer_request& r, const char* data,
             std::function<void(lt::storage_error const&)> handler);

    bool Run(DiskStorage& st, lt::storage_error& full) override;
    bool RunTogether(DiskStorage& st, DiskJob* const* next, int count) override;
    void Fail(const lt::storage_error& e) noexcept override { m_error = e; }
    void Complete() override { m_handler(m_error); }

private:
    DiskFiles& m_files;
    const lt::peer_request m_r;
    std::function<void(lt::storage_error const&)> m_handler;
    lt::storage_error m_error;
    char m_data[kBlockSize];
};

// The removal of a torrent, made with it: removing it then allocates nothing. The torrent it
// kept alive is freed by the network thread.
class RemoveJob final : public DiskJob {
public:
    RemoveJob(DiskFiles& files, StockDiskIo& stock)
        : DiskJob(Kind::WholeFile, lt::operation_t::file), m_files(files), m_stock(stock) {}

    bool Run(DiskStorage& st, lt::storage_error&) override;
    // Run takes the owner before anything can fail.
    void Fail(const lt::storage_error&) noexcept override {}
    void Complete() override { m_owner.reset(); }

private:
    DiskFiles& m_files;
    StockDiskIo& m_stock;
    std::shared_ptr<void> m_owner;
};
