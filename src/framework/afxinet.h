// URL splitting in the framework's manner.
#pragma once
#include <windows.h>
#include <wininet.h>

#include "afxstr.h"
#include "handles.h"

struct InternetHandleTraits {
    static HINTERNET invalid() { return nullptr; }
    static bool valid(HINTERNET h) { return h != nullptr; }
    static void close(HINTERNET h) { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueHandle<HINTERNET, InternetHandleTraits>;

enum : DWORD {
    AFX_INET_SERVICE_FTP = 1,
    AFX_INET_SERVICE_GOPHER = 2,
    AFX_INET_SERVICE_HTTP = 3,
    AFX_INET_SERVICE_HTTPS = 4,
    AFX_INET_SERVICE_FILE = 5,
    AFX_INET_SERVICE_MAILTO = 6,
    AFX_INET_SERVICE_NEWS = 7,
    AFX_INET_SERVICE_UNK = 0x1000,
};

// Splits a URL into service type, server, object (path with query) and port. FALSE for a text
// that is not a URL, such as one without a scheme.
BOOL AfxParseURL(const char* url, DWORD& serviceType, CString& server, CString& object, INTERNET_PORT& port);
