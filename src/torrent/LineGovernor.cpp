#include "torrent/LineGovernor.h"

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace {
constexpr std::uint32_t kMinuteMs = 60 * 1000;
// A look with the queue at twice the target or more cuts the limit by this share, less in
// proportion below that; a look with an empty queue raises it by an eighth (at least kStep).
constexpr double kMostCut = 0.25;
}  // namespace

int LineGovernor::Effective() const {
    if (m_ceiling > 0) return m_limit > 0 ? std::min(m_limit, m_ceiling) : m_ceiling;
    return m_limit;
}

int LineGovernor::Look(const std::vector<double>& roundTrips, std::int64_t upRate, std::uint32_t nowMs) {
    for (double rtt : roundTrips) {
        if (!(rtt >= 0)) continue;
        m_recent[m_samples % kKept] = {nowMs, rtt};
        ++m_samples;
        // The base: the least of each minute, kept for kBaseMinutes, so that a route that
        // changes (a longer base) is learnt within that time.
        if (m_minute < 0 || nowMs - m_minuteStart >= kMinuteMs) {
            m_minute = (m_minute + 1) % kBaseMinutes;
            m_minutes[m_minute] = rtt;
            m_minuteStart = nowMs;
            m_minutesSeen = std::min(m_minutesSeen + 1, kBaseMinutes);
        } else {
            m_minutes[m_minute] = std::min(m_minutes[m_minute], rtt);
        }
    }
    if (!roundTrips.empty() && m_samples > 0) {
        m_base = *std::min_element(m_minutes, m_minutes + m_minutesSeen);
        // The line now: the least round trip of the last kFilterMs (this look's at least).
        double now = -1;
        for (int k = 0; k < std::min(m_samples, kKept); ++k) {
            const Sample& sample = m_recent[k];
            if (nowMs - sample.tick < kFilterMs && (now < 0 || sample.ms < now)) now = sample.ms;
        }
        m_queue = std::max(0.0, now - m_base);
        const double off = (kTargetMs - m_queue) / kTargetMs;  // 1: no queue; below 0: over the target
        // While a queue stands, what the torrent sends is what the line carries for it.
        if (m_queue >= kTargetMs / 2 && upRate > 0)
            m_carried = m_carried > 0 ? (3 * m_carried + upRate) / 4 : upRate;
        if (m_limit == 0) {
            // No limit yet: the first look over the target starts one a little under what
            // the torrent sends now (it is what filled the queue).
            if (off < 0 && upRate >= 2 * kFloor) {
                m_limit = static_cast<int>(std::max<std::int64_t>(kFloor, upRate * 3 / 4));
                m_holdUntil = nowMs + static_cast<std::uint32_t>(m_queue);
            }
        } else if (off < 0) {
            m_free = false;
            // A queue drains no faster than its own length: until then the round trips still
            // show the queue that the last cut answered, and are not cut for again.
            if (static_cast<std::int32_t>(nowMs - m_holdUntil) >= 0) {
                // Never far under what the line carries: below that the line would stand idle
                // once the queue is gone.
                const double cut = kMostCut * std::min(1.0, -off);
                const int least = std::max<int>(kFloor, static_cast<int>(m_carried * kLeastOfCarried));
                m_limit = std::max(std::min(least, m_limit), static_cast<int>(m_limit * (1.0 - cut)));
                m_holdUntil = nowMs + static_cast<std::uint32_t>(m_queue);
            }
        } else {
            // A limit that holds nothing back (the torrent sends well under it, the line keeps
            // no queue) for kLiftMs is lifted: it answered a queue that is gone, or one the
            // upload did not cause (a noisy look on a fast line, another program's upload).
            if (upRate >= Effective() * kBindingShare) {
                m_free = false;
            } else if (!m_free) {
                m_free = true;
                m_freeSince = nowMs;
            } else if (nowMs - m_freeSince >= kLiftMs) {
                m_limit = 0;
                m_carried = 0;
                m_free = false;
            }
            // Up no further than half again what the torrent sends: a limit far above the
            // demand would let the next rise of it (the installer complete, every peer now
            // asking) fill the queue before a look sees it.
            const int rise = static_cast<int>(std::max(kStep, m_limit / 8) * off);
            const std::int64_t cap = std::max<std::int64_t>(upRate * 3 / 2, 4 * kFloor);
            if (m_limit > 0 && m_limit < cap)
                m_limit = static_cast<int>(std::min<std::int64_t>(cap, std::int64_t(m_limit) + rise));
        }
    }
    const int effective = Effective();
    if (effective == m_set) return -1;
    m_set = effective;
    return effective;
}

LineGauge::LineGauge(HttpUrl origin, std::string source) : m_origin(std::move(origin)), m_source(std::move(source)) {}

LineGauge::~LineGauge() {
    m_stop = true;
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void LineGauge::Start() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Work(); });
}

void LineGauge::Add(double roundTripMs) {
    if (!(roundTripMs >= 0)) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_samples.push_back(roundTripMs);
    m_lastSampleTick = ::GetTickCount();
}

std::vector<double> LineGauge::Take() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<double> taken;
    taken.swap(m_samples);
    return taken;
}

void LineGauge::Work() {
    HttpRangeClient probe(m_origin, m_source);
    while (!m_stop) {
        const std::uint32_t interval = m_eager ? kProbeMs : kIdleProbeMs;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait_for(lock, std::chrono::milliseconds(interval), [this] { return m_stop.load(); });
            if (m_stop) break;
            // Someone else measured a round trip meanwhile.
            if (m_lastSampleTick && ::GetTickCount() - m_lastSampleTick < interval) continue;
        }
        std::string error;
        const double rtt = probe.Handshake(error, m_stop);
        if (rtt >= 0) {
            ++m_probes;
            Add(rtt);
        }
    }
}
