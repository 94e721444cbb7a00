#include "afxinet.h"

#include <string>
#include <vector>

BOOL AfxParseURL(const char* url, DWORD& serviceType, CString& server, CString& object, INTERNET_PORT& port) {
    serviceType = AFX_INET_SERVICE_UNK;
    if (!url || !*url) return FALSE;

    DWORD len = static_cast<DWORD>(std::string(url).size() * 3 + 16);
    std::vector<char> canonical(len);
    if (!::InternetCanonicalizeUrlA(url, canonical.data(), &len, ICU_BROWSER_MODE)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
        canonical.resize(len + 1);
        if (!::InternetCanonicalizeUrlA(url, canonical.data(), &len, ICU_BROWSER_MODE)) return FALSE;
    }

    std::vector<char> host(INTERNET_MAX_HOST_NAME_LENGTH + 1), path(canonical.size() + 1), extra(canonical.size() + 1);
    URL_COMPONENTSA uc{};
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host.data();
    uc.dwHostNameLength = static_cast<DWORD>(host.size());
    uc.lpszUrlPath = path.data();
    uc.dwUrlPathLength = static_cast<DWORD>(path.size());
    uc.lpszExtraInfo = extra.data();
    uc.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!::InternetCrackUrlA(canonical.data(), 0, 0, &uc)) return FALSE;

    switch (uc.nScheme) {
    case INTERNET_SCHEME_FTP: serviceType = AFX_INET_SERVICE_FTP; break;
    case INTERNET_SCHEME_GOPHER: serviceType = AFX_INET_SERVICE_GOPHER; break;
    case INTERNET_SCHEME_HTTP: serviceType = AFX_INET_SERVICE_HTTP; break;
    case INTERNET_SCHEME_HTTPS: serviceType = AFX_INET_SERVICE_HTTPS; break;
    case INTERNET_SCHEME_FILE: serviceType = AFX_INET_SERVICE_FILE; break;
    case INTERNET_SCHEME_NEWS: serviceType = AFX_INET_SERVICE_NEWS; break;
    case INTERNET_SCHEME_MAILTO: serviceType = AFX_INET_SERVICE_MAILTO; break;
    default: serviceType = AFX_INET_SERVICE_UNK; break;
    }
    if (serviceType != AFX_INET_SERVICE_FILE && host[0] == '\0') return FALSE;

    server = host.data();
    std::string obj = std::string(path.data()) + extra.data();
    if (obj.empty()) obj = "/";
    object = obj.c_str();
    port = uc.nPort;
    return TRUE;
}
