#include "download/FetchFailure.h"

#include <windows.h>

#include <cstdio>

// The numbers the player reads in the messages.
static_assert(static_cast<int>(FetchFailure::Authorization) == 16 && static_cast<int>(FetchFailure::OlderRelease) == 17 &&
                  static_cast<int>(FetchFailure::Expired) == 18,
              "the failures keep their numbers");

CString FetchFailureMessage(FetchFailure failure, long number, const char* text) {
    const int n = static_cast<int>(number);
    if (!text) text = "";
    char buf[MAX_PATH] = {};
    switch (failure) {
    case FetchFailure::UrlParse: std::snprintf(buf, sizeof(buf), "URL parse Failed : %s\n", text); break;
    case FetchFailure::Session: std::snprintf(buf, sizeof(buf), "Download Failed No:1, Error No:%d\n", n); break;
    case FetchFailure::Send: std::snprintf(buf, sizeof(buf), "File Down Failed No:5,%s Error:%d\n", text, n); break;
    case FetchFailure::Status: std::snprintf(buf, sizeof(buf), "Download Failed No:7, Status Code:%d\n", n); break;
    case FetchFailure::Certificate:
        std::snprintf(buf, sizeof(buf), "Download Failed No:9, Certificate Error:%d\n", n);
        break;
    case FetchFailure::RedirectToHttp: std::snprintf(buf, sizeof(buf), "Download Failed No:10, Redirect to http refused\n"); break;
    case FetchFailure::SizeLimit: std::snprintf(buf, sizeof(buf), "Download Failed No:11, Size Limit:%d\n", n); break;
    case FetchFailure::TimeLimit: std::snprintf(buf, sizeof(buf), "Download Failed No:12, Time Limit:%d\n", n); break;
    case FetchFailure::Unpack: std::snprintf(buf, sizeof(buf), "Download Failed No:13, Unpack Error:%d\n", n); break;
    case FetchFailure::NotSigned: std::snprintf(buf, sizeof(buf), "Download Failed No:14, Not Signed\n"); break;
    case FetchFailure::BadSignature: std::snprintf(buf, sizeof(buf), "Download Failed No:15, Bad Signature\n"); break;
    case FetchFailure::Authorization:
        std::snprintf(buf, sizeof(buf), "Download Failed No:16, Authorization Failed:%d\n", n);
        break;
    case FetchFailure::OlderRelease:
        std::snprintf(buf, sizeof(buf), "Download Failed No:17, Older Release:%s\n", text);
        break;
    case FetchFailure::Expired: std::snprintf(buf, sizeof(buf), "Download Failed No:18, Release Expired:%s\n", text); break;
    case FetchFailure::FileWrite: std::snprintf(buf, sizeof(buf), "Download file writing Failed \n"); break;
    default:  // TargetFile, Connect, OpenRequest, QueryStatus, Read: "Download Failed No:N, Error:<code>"
        std::snprintf(buf, sizeof(buf), "Download Failed No:%d, Error:%d\n", static_cast<int>(failure), n);
        break;
    }
    return CString(buf);
}
