// Fetches the packed description over HTTP or HTTPS into a folder, with WinInet: under a name of
// its own ("Mirel.fetch"), which becomes "Mirel.ndn" only once it has been unpacked (and
// verified); a failed fetch leaves nothing.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <mutex>

#include "framework/afxfile.h"
#include "framework/afxinet.h"
#include "framework/afxstr.h"

class CHttpDownload {
public:
    CHttpDownload();
    virtual ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    void SetURL(const wchar_t* url);
    void SetDownloadFolder(const char* folder);
    const char* GetFilePath() const { return m_strFilePath; }          // what the fetch writes
    const char* GetDescriptionPath() const { return m_strDescriptionPath; }  // Mirel.ndn
    // Runs the whole download. Empty when the file was stored completely, else one failure message.
    CString Download();

    // The description is small: a longer body is refused, and so is a fetch that takes longer.
    static constexpr uint64_t kMaxBody = 16u * 1024 * 1024;
    static constexpr DWORD kTimeLimitMs = 120 * 1000;
    static constexpr int kMaxRedirects = 10;
    static constexpr int kMaxPrompts = 3;  // credentials prompts in one fetch

    CString m_strServer;
    CString m_strObject;
    INTERNET_PORT m_nPort = 0;
    DWORD m_dwServiceType = 0;
    // Closed in the order request, connection, session, by the members' destruction.
    UniqueInternetHandle m_hSession;
    UniqueInternetHandle m_hConnect;
    UniqueInternetHandle m_hRequest;
    CFile m_file;
    HWND* m_phWndOwner = nullptr;
    CString m_strURL;
    CString m_strFilePath;
    CString m_strDescriptionPath;
    DWORD m_dwTimeLimitMs = kTimeLimitMs;  // lowered by tests only

private:
    class Deadline;
    CString Fetch(Deadline& deadline);
    CString OpenRequest(bool secure);
    void DiscardTarget();
    CString RefuseBody();
    BOOL ReadSome(Deadline& deadline, void* buffer, DWORD max, DWORD* got);
    HINTERNET Request();
    std::mutex m_lock;  // guards m_hRequest against the deadline's thread
};
