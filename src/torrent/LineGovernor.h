// The player's line: the torrent's upload kept below what fills the home router's queue.
//
// A player's uplink is narrow (often 1 MiB/s or less) and its router holds a deep first-in
// first-out queue in front of it. An upload at the line's full rate fills that queue, and
// everything else the player sends waits behind it: the launcher's own requests to the origin
// and the acknowledgements of what the origin sends, the game's and the browser's traffic.
//
// The governor follows the line's delay, as LEDBAT does: round trips to the origin are
// measured all along (each ranged request's wait for its answer, and TCP handshakes with the
// origin while no request gives one); the least round trip seen in the last minutes is the
// line without a queue (the base), the least of the last half second is the line now, and the
// difference is the queue. While the queue stays under kTargetMs the upload limit rises;
// above it, the limit falls in proportion to the excess. So the upload runs at about the
// line's rate while the queue stays short.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/HttpRange.h"

class LineGovernor {
public:
    // One look (four a second): the round trips measured since the last look in milliseconds,
    // the torrent's upload in bytes/s since the last look, a tick count. The upload limit to
    // set (bytes/s, 0: none), or -1 for no change.
    int Look(const std::vector<double>& roundTrips, std::int64_t upRate, std::uint32_t nowMs);
    // The player's own limit (0: none): the governor never sets more.
    // The torrent has it as its limit already.
    void SetCeiling(int bytesPerSecond) { m_set = m_ceiling = bytesPerSecond; }

    int Limit() const { return m_limit; }           // the governor's limit, 0 while it sets none
    double BaseMs() const { return m_base; }        // negative before the first round trip
    double QueueMs() const { return m_queue; }      // at the last look with a round trip
    std::int64_t Carried() const { return m_carried; }

    static constexpr double kTargetMs = 75.0;       // the queue the governor allows
    static constexpr std::uint32_t kFilterMs = 500; // the line now: the least round trip of this long
    static constexpr int kBaseMinutes = 10;         // the base: the least round trip of this many minutes
    static constexpr int kFloor = 16 * 1024;        // the limit never goes below this
    static constexpr int kStep = 16 * 1024;         // the least rise of a look with an empty queue
    static constexpr double kLeastOfCarried = 0.7;  // a cut goes no lower than this share of what the line carries
    static constexpr std::uint32_t kLiftMs = 30000; // a limit that held nothing back this long is lifted
    static constexpr double kBindingShare = 0.8;    // an upload under this share of the limit is not held back

private:
    int Effective() const;

    struct Sample {
        std::uint32_t tick;
        double ms;
    };
    static constexpr int kKept = 64;  // more than half a second of round trips
    Sample m_recent[kKept] = {};
    int m_samples = 0;
    double m_minutes[kBaseMinutes] = {};  // the least round trip of each minute, the newest at m_minute
    int m_minute = -1;                    // index of the current minute in m_minutes
    std::uint32_t m_minuteStart = 0;
    int m_minutesSeen = 0;
    double m_base = -1;
    double m_queue = 0;
    std::int64_t m_carried = 0;  // what the torrent sent while a queue stood (a running mean)
    int m_limit = 0;
    int m_ceiling = 0;
    std::uint32_t m_holdUntil = 0;  // no cut before this tick
    int m_set = 0;  // the torrent's limit as last set (0: none)
    bool m_free = false;             // the limit has held nothing back since m_freeSince
    std::uint32_t m_freeSince = 0;
};

// The round trips a LineGovernor reads: handed in by whoever measures one (the origin fetcher's
// requests), and measured by a thread of its own with a TCP handshake to the origin whenever
// nobody handed one in for a while: every kProbeMs while the governor asks for them, every
// kIdleProbeMs otherwise (the base must be known before the upload starts).
class LineGauge {
public:
    // `source`: the address connections leave from (empty: the system's choice).
    LineGauge(HttpUrl origin, std::string source);
    ~LineGauge();  // stops the thread and waits for it
    LineGauge(const LineGauge&) = delete;
    LineGauge& operator=(const LineGauge&) = delete;

    void Start();
    void Add(double roundTripMs);
    std::vector<double> Take();
    void SetEager(bool eager) { m_eager = eager; }
    int Probes() const { return m_probes; }

    static constexpr std::uint32_t kProbeMs = 250;
    static constexpr std::uint32_t kIdleProbeMs = 1000;

private:
    void Work();

    HttpUrl m_origin;
    std::string m_source;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<double> m_samples;
    std::uint32_t m_lastSampleTick = 0;
    std::atomic<bool> m_eager{false};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_probes{0};
    std::thread m_thread;
};
