#include "download/HttpDownload.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/afxinet.h"
#include "framework/afxwin.h"

namespace {

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
constexpr DWORD kPromptFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

// Every message fits a 260-byte buffer; a longer one (a very long URL) is cut to fit.
CString Message(const char* fmt, ...) {
    char buf[MAX_PATH] = {};
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return CString(buf);
}

int LastError() { return static_cast<int>(::GetLastError()); }

}  // namespace

CHttpDownload::CHttpDownload() = default;

CHttpDownload::~CHttpDownload() {
    m_file.Close();
    if (m_hRequest) ::InternetCloseHandle(m_hRequest);
    if (m_hConnect) ::InternetCloseHandle(m_hConnect);
    if (m_hSession) ::InternetCloseHandle(m_hSession);
}

void CHttpDownload::SetURL(const wchar_t* url) {
    if (!url) url = L"";
    int n = ::WideCharToMultiByte(CP_ACP, 0, url, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) ::WideCharToMultiByte(CP_ACP, 0, url, -1, &narrow[0], n, nullptr, nullptr);
    m_strURL = narrow.c_str();
}

void CHttpDownload::SetDownloadFolder(const char* folder) { m_strFilePath.Format("%s\\Mirel.ndn", folder ? folder : ""); }

CString CHttpDownload::Download() {
    if (!AfxParseURL(m_strURL, m_dwServiceType, m_strServer, m_strObject, m_nPort)) {
        m_strURL = "http://" + m_strURL;
        if (!AfxParseURL(m_strURL, m_dwServiceType, m_strServer, m_strObject, m_nPort))
            return Message("URL parse Failed : %s\n", m_strURL.GetString());
    }

    m_hSession = ::InternetOpenA(AfxGetAppName(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!m_hSession) return Message("Download Failed No:1, Error No:%d\n", LastError());

    // The target is truncated here, before any traffic.
    if (!m_file.Open(m_strFilePath, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite))
        return Message("Download Failed No:2, Error:%d\n", LastError());

    m_hConnect = ::InternetConnectA(m_hSession, m_strServer, m_nPort, nullptr, nullptr, m_dwServiceType, 0,
                                    reinterpret_cast<DWORD_PTR>(this));
    if (!m_hConnect) return Message("Download Failed No:3, Error:%d\n", LastError());

    const char* acceptTypes[] = {"*/*", nullptr};
    m_hRequest = ::HttpOpenRequestA(m_hConnect, nullptr, m_strObject, nullptr, nullptr, acceptTypes, kRequestFlags,
                                    reinterpret_cast<DWORD_PTR>(this));
    if (!m_hRequest) return Message("Download Failed No:4, Error:%d\n", LastError());

    for (;;) {
        if (!::HttpSendRequestA(m_hRequest, nullptr, 0, nullptr, 0))
            return Message("File Down Failed No:5,%s Error:%d\n", m_strObject.GetString(), LastError());

        char statusText[32] = {};
        DWORD statusLen = sizeof(statusText);
        if (!::HttpQueryInfoA(m_hRequest, HTTP_QUERY_STATUS_CODE, statusText, &statusLen, nullptr))
            return Message("Download Failed No:6, Error:%d\n", LastError());
        long status = std::atol(statusText);

        if (status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ) {
            char discard[50];
            DWORD got = 0;
            while (::InternetReadFile(m_hRequest, discard, sizeof(discard), &got) && got != 0) {
            }
            HWND owner = m_phWndOwner ? *m_phWndOwner : nullptr;
            DWORD answer = ::InternetErrorDlg(owner, m_hRequest, ERROR_INTERNET_INCORRECT_PASSWORD, kPromptFlags, nullptr);
            if (answer == ERROR_INTERNET_FORCE_RETRY) continue;
            break;
        }
        if (status == HTTP_STATUS_OK) break;
        return Message("Download Failed No:7, Status Code:%d\n", static_cast<int>(status));
    }

    char buffer[1024];
    for (;;) {
        DWORD got = 0;
        if (!::InternetReadFile(m_hRequest, buffer, sizeof(buffer), &got))
            return Message("Download Failed No:8, Error:%d\n", LastError());
        if (got == 0) break;
        try {
            m_file.Write(buffer, got);
        } catch (CFileException* e) {
            e->Delete();
            delete e;
            return CString("Download file writing Failed \n");
        }
    }
    m_file.Close();
    return CString();
}
