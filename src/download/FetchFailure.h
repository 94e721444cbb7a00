// The failures of fetching and unpacking the description, each with its one message text: the
// numbered English messages the user sees in a message box.
#pragma once
#include "framework/afxstr.h"

enum class FetchFailure {
    UrlParse,       // "URL parse Failed : <url>"
    Session = 1,    // the Internet session could not be opened
    TargetFile,     // the fetch's own file could not be made
    Connect,
    OpenRequest,
    Send,           // the request could not be sent (the object's path is in the text)
    QueryStatus,
    Status,         // an answer other than 200
    Read,           // reading the body failed, or it ended before its stated length
    Certificate,    // the server's certificate is not to be trusted
    RedirectToHttp,
    SizeLimit,
    TimeLimit,
    Unpack,         // keyed: the description does not unpack
    NotSigned,      // keyed: no signature trailer
    BadSignature,   // keyed: not the key's signature
    Authorization,  // the server refused the credentials three times
    OlderRelease,   // keyed: older than a release this user took (the text: "<version>, Accepted:<highest>")
    Expired,        // keyed: past its expiry date (the text: the date)
    FileWrite,      // writing the fetched bytes failed
};

// The message of a failure with its number (error code, status, limit) and, for UrlParse, Send,
// OlderRelease and Expired, its text (the URL, the object, the versions, the date). Cut to 259 characters, as every message buffer is.
CString FetchFailureMessage(FetchFailure failure, long number = 0, const char* text = "");
