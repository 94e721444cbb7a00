// The peer window: the peers of the running torrent, refilled about once a second.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "framework/afxctrl.h"
#include "torrent/MonitorShared.h"

// The peer window (Ctrl+Shift+F10). Its rows (PeerRow) come from the monitor thread through
// MonitorShared; only the window's thread touches the window.
class CTorrentInfoDlg : public CDialog {
public:
    // `onClose` runs when its Close button ends it, before the window goes.
    CTorrentInfoDlg(CWnd* pParent, std::function<void()> onClose);
    ~CTorrentInfoDlg() override;

    // Dispatches the messages queued for this window; a close or destroy message found there
    // stops it (removed, not dispatched) and makes it return false.
    bool DrainMessages();
    // Replaces all rows of the list.
    void FillRows(const std::vector<PeerRow>& rows);
    // Destroys the window; the object deletes itself after it.
    void DestroyAndDelete();

    CListCtrl m_list;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    void PostNcDestroy() override;
    void OnBnClickedClose();

private:
    std::function<void()> m_onClose;
};
