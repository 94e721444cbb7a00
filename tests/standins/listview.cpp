// Reads a list view of another process for tests.
//   listview HWND [ID]   -> the column titles on the first line, then one line per item;
//                           cells separated by a tab. HWND is the list view itself, or a
//                           window whose child ID (default: the first list view) is read.
// The texts are read through memory allocated in the list's own process, since the list view
// messages carry pointers. Exit code 1 when there is no such list, 3 when reading failed.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kTextSize = 1024;
constexpr DWORD kSendTimeoutMs = 5000;

BOOL CALLBACK FirstList(HWND h, LPARAM lp) {
    char cls[64] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    if (std::strcmp(cls, WC_LISTVIEWA) != 0) return TRUE;
    *reinterpret_cast<HWND*>(lp) = h;
    return FALSE;
}

bool Send(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    DWORD_PTR r = 0;
    if (!::SendMessageTimeoutA(h, msg, wp, lp, SMTO_NORMAL, kSendTimeoutMs, &r)) return false;
    if (result) *result = static_cast<LRESULT>(r);
    return true;
}

// A block in the list's process: a record followed by a text buffer.
class Remote {
public:
    Remote(HANDLE process, size_t size) : m_process(process) {
        m_base = static_cast<char*>(::VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
    ~Remote() {
        if (m_base) ::VirtualFreeEx(m_process, m_base, 0, MEM_RELEASE);
    }
    char* base() const { return m_base; }
    bool Write(size_t offset, const void* data, size_t size) {
        SIZE_T done = 0;
        return ::WriteProcessMemory(m_process, m_base + offset, data, size, &done) && done == size;
    }
    bool Read(size_t offset, void* data, size_t size) {
        SIZE_T done = 0;
        return ::ReadProcessMemory(m_process, m_base + offset, data, size, &done) && done == size;
    }

private:
    HANDLE m_process;
    char* m_base = nullptr;
};

bool ItemText(HWND list, Remote& remote, int item, int sub, std::string& text) {
    LVITEMA lvi{};
    lvi.mask = LVIF_TEXT;
    lvi.iItem = item;
    lvi.iSubItem = sub;
    lvi.pszText = remote.base() + sizeof(LVITEMA);
    lvi.cchTextMax = kTextSize;
    char zero[kTextSize] = {};
    if (!remote.Write(0, &lvi, sizeof(lvi)) || !remote.Write(sizeof(LVITEMA), zero, sizeof(zero))) return false;
    if (!Send(list, LVM_GETITEMTEXTA, item, reinterpret_cast<LPARAM>(remote.base()), nullptr)) return false;
    char buf[kTextSize] = {};
    if (!remote.Read(sizeof(LVITEMA), buf, sizeof(buf))) return false;
    buf[kTextSize - 1] = '\0';
    text = buf;
    return true;
}

bool ColumnTitle(HWND list, Remote& remote, int column, std::string& text) {
    LVCOLUMNA col{};
    col.mask = LVCF_TEXT;
    col.pszText = remote.base() + sizeof(LVITEMA);
    col.cchTextMax = kTextSize;
    char zero[kTextSize] = {};
    if (!remote.Write(0, &col, sizeof(col)) || !remote.Write(sizeof(LVITEMA), zero, sizeof(zero))) return false;
    LRESULT ok = 0;
    if (!Send(list, LVM_GETCOLUMNA, column, reinterpret_cast<LPARAM>(remote.base()), &ok) || !ok) return false;
    char buf[kTextSize] = {};
    if (!remote.Read(sizeof(LVITEMA), buf, sizeof(buf))) return false;
    buf[kTextSize - 1] = '\0';
    text = buf;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: listview HWND [ID]\n");
        return 2;
    }
    HWND h = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoul(argv[1], nullptr, 0)));
    if (!::IsWindow(h)) return 1;
    HWND list = nullptr;
    char cls[64] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    if (std::strcmp(cls, WC_LISTVIEWA) == 0)
        list = h;
    else if (argc > 2)
        list = ::GetDlgItem(h, static_cast<int>(std::strtol(argv[2], nullptr, 0)));
    else
        ::EnumChildWindows(h, FirstList, reinterpret_cast<LPARAM>(&list));
    if (!list) return 1;

    DWORD pid = 0;
    ::GetWindowThreadProcessId(list, &pid);
    HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return 3;
    int status = 0;
    {
        Remote remote(process, sizeof(LVITEMA) + kTextSize);
        LRESULT header = 0, columns = 0, items = 0;
        if (!remote.base() || !Send(list, LVM_GETHEADER, 0, 0, &header) || !header ||
            !Send(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, &columns) ||
            !Send(list, LVM_GETITEMCOUNT, 0, 0, &items)) {
            status = 3;
        } else {
            std::string line, text;
            for (int c = 0; c < columns && status == 0; ++c) {
                if (!ColumnTitle(list, remote, c, text)) status = 3;
                line += (c ? "\t" : "") + text;
            }
            std::printf("%s\n", line.c_str());
            for (int i = 0; i < items && status == 0; ++i) {
                line.clear();
                for (int c = 0; c < columns && status == 0; ++c) {
                    if (!ItemText(list, remote, i, c, text)) status = 3;
                    line += (c ? "\t" : "") + text;
                }
                std::printf("%s\n", line.c_str());
            }
        }
    }
    ::CloseHandle(process);
    return status;
}
