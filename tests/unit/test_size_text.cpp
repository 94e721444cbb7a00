// The transfer size label: FormatSize for one count, SetSizeText for the pair, into the text
// buffer and into the label control.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "ui/MirelLauncherDlg.h"
#include "ui/SizeText.h"
#include "dlg_probe.h"

namespace {

constexpr double kK = 1024.0;
constexpr double kM = 1048576.0;

std::string Format(float count) {
    char out[256];
    std::memset(out, 'x', sizeof(out));
    FormatSize(count, out, sizeof(out));
    return out;
}

// A real label control, bound to the dialog's size label object for the test's duration.
class SizeLabel {
public:
    explicit SizeLabel(CMirelLauncherDlg& dlg) : m_dlg(dlg) {
        m_hWnd = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 120, 16, nullptr, nullptr,
                                   ::GetModuleHandleA(nullptr), nullptr);
        if (m_hWnd && !DlgProbe::m_stSize(m_dlg).SubclassWindow(m_hWnd)) {
            ::DestroyWindow(m_hWnd);
            m_hWnd = nullptr;
        }
    }
    ~SizeLabel() {
        if (m_hWnd) {
            DlgProbe::m_stSize(m_dlg).UnsubclassWindow();
            ::DestroyWindow(m_hWnd);
        }
    }
    HWND hwnd() const { return m_hWnd; }
    std::string Text() const {
        char buf[300] = {};
        ::GetWindowTextA(m_hWnd, buf, sizeof(buf));
        return buf;
    }

private:
    CMirelLauncherDlg& m_dlg;
    HWND m_hWnd = nullptr;
};

}  // namespace

TEST(SizeText, FormatsOneCountInWholeUnits) {
    struct Case {
        double count;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},
        {0.9, "0"},  // cut, not rounded
        {1, "1"},
        {1023.9, "1023"},
        {1024, "1024"},  // the comparison is strict
        {1024.5, "1K"},
        {1025, "1K"},
        {2047, "1K"},
        {2048, "2K"},
        {700 * kK, "700K"},
        {kM - 1, "1023K"},
        {kM, "1024K"},  // strict here too
        {kM + 1, "1M"},
        {5.9 * kM, "5M"},  // cut, not rounded
        {700 * kM, "700M"},
        {1024 * kM, "1024M"},
        {3.5 * 1024 * kM, "3584M"},  // no unit above M
        {100.0 * 1024 * kM, "102400M"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Format(static_cast<float>(c.count)), c.text) << "count " << c.count;
    }
}

TEST(SizeText, JoinsDoneAndTotalWithASlash) {
    struct Case {
        double done, total;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "0/0"},
        {1024, 1025, "1024/1K"},
        {kM, kM + 1, "1024K/1M"},
        {512 * kK, 700 * kM, "512K/700M"},
        {5.9 * kM, 3.5 * 1024 * kM, "5M/3584M"},
        {1000, 0, "1000/0"},  // done is not checked against total
    };
    CMirelLauncherDlg dlg;
    ASSERT_EQ(DlgProbe::m_stSize(dlg).m_hWnd, nullptr);
    for (const auto& c : cases) {
        // Without a label window only the text buffer changes.
        dlg.SetSizeText(static_cast<float>(c.done), static_cast<float>(c.total));
        EXPECT_STREQ(DlgProbe::m_szSizeText(dlg), c.text) << c.done << " of " << c.total;
    }
}

TEST(SizeText, SetsTheLabelControlText) {
    CMirelLauncherDlg dlg;
    SizeLabel label(dlg);
    ASSERT_NE(label.hwnd(), nullptr);
    ASSERT_EQ(DlgProbe::m_stSize(dlg).m_hWnd, label.hwnd());
    ASSERT_EQ(label.Text(), "");

    const struct {
        double done, total;
        const char* text;
    } steps[] = {
        {0, 0, "0/0"},
        {512 * kK, 700 * kM, "512K/700M"},
        {1024, 1025, "1024/1K"},  // a shorter text replaces a longer one whole
    };
    for (const auto& s : steps) {
        dlg.SetSizeText(static_cast<float>(s.done), static_cast<float>(s.total));
        EXPECT_EQ(label.Text(), s.text);
        EXPECT_STREQ(DlgProbe::m_szSizeText(dlg), s.text);
    }
}

// The monitor thread publishes; the window's thread shows the latest figures once, on its own.
TEST(SizeText, TheWindowShowsOnlyTheLatestFiguresAnotherThreadPublished) {
    CMirelLauncherDlg dlg;
    SizeLabel label(dlg);
    ASSERT_NE(label.hwnd(), nullptr);
    MonitorShared& shared = DlgProbe::m_monitor(dlg).Shared();

    std::thread monitor([&] {
        for (int i = 1; i <= 3; ++i) {
            MonitorShared::Figures f;
            f.barPos = 10 * i;
            f.hasSize = true;
            f.done = static_cast<float>(i * kM);
            f.wanted = static_cast<float>(40 * kM);
            shared.PublishFigures(f);
        }
    });
    monitor.join();
    dlg.ShowFigures();
    EXPECT_EQ(label.Text(), "3M/40M");
    EXPECT_EQ(DlgProbe::m_progress(dlg).GetPos(), 30);

    // Nothing new: nothing changes. Figures without a size or a bar position leave those alone.
    DlgProbe::m_progress(dlg).SetPos(55);
    dlg.ShowFigures();
    EXPECT_EQ(DlgProbe::m_progress(dlg).GetPos(), 55);
    shared.PublishFigures(MonitorShared::Figures());
    dlg.ShowFigures();
    EXPECT_EQ(DlgProbe::m_progress(dlg).GetPos(), 55);
    EXPECT_EQ(label.Text(), "3M/40M");
}
