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
    // The window that owns the credentials prompt; without one there is no prompt.
    void SetOwner(HWND owner) { m_hWndOwner = owner; }
    void SetTimeLimit(DWORD ms) { m_dwTimeLimitMs = ms; }  // lowered by tests only
    const char* GetFilePath() const { return m_strFilePath; }                // what the fetch writes
    const char* GetDescriptionPath() const { return m_strDescriptionPath; }  // Mirel.ndn
    // The URL as fetched: the one given, with "http://" in front when it had no scheme.
    const char* GetFetchedURL() const { return m_strFetchedURL; }
    // Runs the whole download. Empty when the file was stored completely, else one failure message.
    CString Download();

    // The description is small: a longer body is refused, and so is a fetch that takes longer.
    static constexpr uint64_t kMaxBody = 16u * 1024 * 1024;
    static constexpr DWORD kTimeLimitMs = 120 * 1000;
    static constexpr int kMaxRedirects = 10;
    // What of a refused answer's body (a page for people) is read away before a prompt.
    static constexpr uint64_t kMaxErrorBody = 16u * 1024;
    static constexpr int kMaxPrompts = 3;  // credentials prompts in one fetch

private:
    class Deadline;
    // Where one request goes: the URL's parts, changed by each followed redirect.
    struct Target {
        DWORD service = 0;
        CString server;
        CString object;
        INTERNET_PORT port = 0;
    };
    // One fetch, by its steps: the request sent and its status read, a secure redirect followed,
    // credentials asked for on a refusal, the body read into the file.
    CString Fetch(Deadline& deadline, Target& target);
    CString SendRequest(Deadline& deadline, const Target& target, bool secure, long& status);
    CString FollowRedirect(Target& target, long status);
    CString AskForCredentials(Deadline& deadline, long status, int& prompts, bool& retry);
    CString ReadBody(Deadline& deadline, bool bodyReadAway);
    CString OpenRequest(const Target& target, bool secure);
    void DiscardTarget();
    CString RefuseBody();
    BOOL ReadSome(Deadline& deadline, void* buffer, DWORD max, DWORD* got);
    HINTERNET Request();

    CString m_strURL;
    CString m_strFetchedURL;
    CString m_strFilePath;
    CString m_strDescriptionPath;
    HWND m_hWndOwner = nullptr;
    DWORD m_dwTimeLimitMs = kTimeLimitMs;
    // Closed in the order request, connection, session, by the members' destruction.
    UniqueInternetHandle m_hSession;
    UniqueInternetHandle m_hConnect;
    UniqueInternetHandle m_hRequest;
    CFile m_file;
    std::mutex m_lock;  // guards m_hRequest against the deadline's thread
};
