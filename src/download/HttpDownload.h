// Fetches one file over HTTP into a folder as "Mirel.ndn", with WinInet.
#pragma once
#include <windows.h>
#include <wininet.h>

#include "framework/afxfile.h"
#include "framework/afxstr.h"

class CHttpDownload {
public:
    CHttpDownload();
    virtual ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    void SetURL(const wchar_t* url);
    void SetDownloadFolder(const char* folder);
    const char* GetFilePath() const { return m_strFilePath; }
    // Runs the whole download. Empty when the file was stored completely, else one failure message.
    CString Download();

    CString m_strServer;
    CString m_strObject;
    INTERNET_PORT m_nPort = 0;
    DWORD m_dwServiceType = 0;
    HINTERNET m_hSession = nullptr;
    HINTERNET m_hConnect = nullptr;
    HINTERNET m_hRequest = nullptr;
    CFile m_file;
    HWND* m_phWndOwner = nullptr;
    CString m_strURL;
    CString m_strFilePath;
};
