// What the window's thread and the monitor thread share while the monitor runs: the transfer's
// figures and the peer rows, each handed over under its own lock, the peer list's refresh tick,
// whether the peer window is open and whether the game counts as installed. The monitor thread
// computes and hands over; the window's thread alone shows, and alone touches a window.
#pragma once
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// One row of the peer window: kind and address, upload rate and total, download rate and total.
struct PeerRow {
    std::string cells[5];
};

class MonitorShared {
public:
    struct Figures {
        int barPos = -1;        // -1: the bar keeps its position
        bool hasSize = false;   // a size pair to show
        float done = 0.0f;      // bytes
        float wanted = 0.0f;    // bytes
    };

    // Monitor thread: the latest figures replace what was not yet shown.
    void PublishFigures(const Figures& figures) {
        std::lock_guard<std::mutex> lock(m_figuresLock);
        m_figures = figures;
        m_bFiguresFresh = true;
    }
    // Window thread: the figures published since the last call, if any.
    bool TakeFigures(Figures& out) {
        std::lock_guard<std::mutex> lock(m_figuresLock);
        if (!m_bFiguresFresh) return false;
        out = m_figures;
        m_bFiguresFresh = false;
        return true;
    }

    // Monitor thread: the latest rows replace those not yet shown.
    void PostRows(std::vector<PeerRow>&& rows) {
        std::lock_guard<std::mutex> lock(m_rowsLock);
        m_pendingRows = std::move(rows);
    }
    // Window thread: the rows waiting, which are then gone.
    std::vector<PeerRow> TakeRows() {
        std::lock_guard<std::mutex> lock(m_rowsLock);
        std::vector<PeerRow> rows;
        rows.swap(m_pendingRows);
        return rows;
    }

    // Monitor thread: what a notice about to be posted names (a file, a folder, an error),
    // set before the notice is posted.
    void SetNoticeDetail(WPARAM notice, const std::wstring& detail) {
        std::lock_guard<std::mutex> lock(m_detailsLock);
        m_details[notice] = detail;
    }
    // Window thread: what the notice names (empty when nothing).
    std::wstring NoticeDetail(WPARAM notice) {
        std::lock_guard<std::mutex> lock(m_detailsLock);
        auto it = m_details.find(notice);
        return it == m_details.end() ? std::wstring() : it->second;
    }

    std::atomic<DWORD> peerListTick{0};      // when the monitor last made rows
    std::atomic<bool> peerWindowClosed{true};  // no peer window: no rows are made
    // The launch sequence's latest answer: an installed game's monitor moves no bar and opens nothing.
    std::atomic<bool> installed{false};

private:
    std::mutex m_figuresLock;
    Figures m_figures;
    bool m_bFiguresFresh = false;
    std::mutex m_rowsLock;
    std::vector<PeerRow> m_pendingRows;
    std::mutex m_detailsLock;
    std::map<WPARAM, std::wstring> m_details;
};
