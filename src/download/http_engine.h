#pragma once

#include <string>

#include <windows.h>

// The one seam between a transfer's rules (ranges, bounds, retries) and the
// wire: a GET with headers, its status and headers, its body piece by piece,
// and an end at any moment. The rules are tested against a scripted engine;
// the program runs them on WinHTTP (CWinHttpEngine).
//
// One request at a time. Every call returns within the wait it is given:
// the engine never holds its caller longer, whatever the network does, and
// it watches the stop event it was made with. The worker thread only.
class CHttpEngine {
public:
    enum Step {
        STEP_DONE,    // the step is complete: the response is in, or a piece (or the end) of the body
        STEP_PENDING, // not yet within the wait; ask again
        STEP_FAILED,  // the request failed; Error() tells how
        STEP_STOPPED, // the stop event was signalled
    };
    // How a request failed, as far as a retry cares.
    enum Error {
        ERROR_NONE,
        ERROR_CONNECT,     // no connection: refused, unreachable, name not found, connect time-out
        ERROR_BROKEN,      // the connection broke mid-way, or closed without an answer
        ERROR_CERTIFICATE, // TLS refused the server or could not be set up
        ERROR_URL,         // not an address the engine can ask
        ERROR_OTHER,       // anything else: out of memory, a malformed answer
    };

    virtual ~CHttpEngine() = default;

    // Starts a GET of url with extra request headers (each line ending in
    // CR LF) and waits up to waitMs for its status and headers. Any request
    // still open is closed first. Redirects are not followed: a 3xx is a
    // response like any other.
    virtual Step Open(const std::wstring& url, const std::wstring& headers, DWORD waitMs) = 0;
    // Waits up to waitMs more for the response of the request Open started.
    virtual Step AwaitResponse(DWORD waitMs) = 0;
    // Once the response is in: its status code, and its raw headers (status
    // line first, CR LF between lines).
    virtual DWORD Status() const = 0;
    virtual const std::wstring& Headers() const = 0;
    // Copies up to size bytes of the body that have arrived into buffer,
    // waiting up to waitMs for the first of them. STEP_DONE with read 0: the
    // body is over (as far as the engine can tell: a cut body may look the
    // same, so the caller compares with what the headers announced).
    virtual Step Read(char* buffer, DWORD size, DWORD& read, DWORD waitMs) = 0;
    virtual Error LastError() const = 0;
    // Ends the request at once; nothing of it is seen again.
    virtual void Close() noexcept = 0;
};
