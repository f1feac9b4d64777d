#pragma once

#include <cstdint>

#include <windows.h>

// What ended a transfer attempt, and whether trying again can help. The
// transient failures are those of a link or a server that may be back in a
// moment; everything else would fail the same way again and ends the task at
// once. Any thread.
enum TransferFailure {
    FAILURE_NONE,        // the attempt brought the whole body
    FAILURE_CONNECT,     // no connection could be made (refused, no route, name unknown, time-out)
    FAILURE_RESET,       // the connection broke, or closed without an answer
    FAILURE_CUT,         // the body ended before its announced length (or before its encoding's end)
    FAILURE_STALLED,     // nothing at all arrived for the stall bound
    FAILURE_TOO_SLOW,    // less than the minimum rate over the rate window
    FAILURE_STATUS,      // an HTTP status the transfer cannot use; the status decides
    FAILURE_CERTIFICATE, // the server's certificate was refused, or TLS could not be set up
    FAILURE_REDIRECTS,   // too many redirects, or one to an address that is not fetched
    FAILURE_SIZE,        // past a size bound (the file list's)
    FAILURE_DISK,        // not written: the file, the space left, a body longer than it announced
    FAILURE_DIGEST,      // a fresh download whose digest differs from the list's
    FAILURE_UNSAFE_URL,  // not an address the worker fetches
    FAILURE_PROTOCOL,    // an answer that makes no sense (a range never asked for, a bad encoding)
    FAILURE_STOPPED,     // the worker was asked to stop
};

// True when the failure (with its HTTP status for FAILURE_STATUS) is worth
// another attempt: a broken or refused connection, a cut or stalled or too
// slow body, and the statuses 408, 429, 500, 502, 503 and 504.
bool IsTransientFailure(TransferFailure failure, DWORD dwStatus) noexcept;

// How a task's attempts are spaced and when they end.
struct RetryRules {
    DWORD dwFirstWaitMs = 1000;       // the wait after the first failure; each next one doubles
    DWORD dwMostWaitMs = 30000;       // no single wait is longer, a server's Retry-After included
    int nMostAttempts = 5;            // attempts of one series (progress starts a new one)
    DWORD dwMostWaitingMs = 120000;   // all the waiting one task may do
    int nJitterPercent = 20;          // each computed wait is moved up to this much either way
    int64_t nProgressBytes = 1 << 20; // an attempt that brought this much new body is progress
};

// The waits of one task, attempt after attempt. One thread.
class CRetrySchedule {
public:
    // seed: the jitter's random sequence (the same seed, the same waits).
    CRetrySchedule(const RetryRules& rules, uint32_t seed) noexcept;

    // After a failed attempt: true with the wait before the next one, or
    // false when the task ends here (a permanent failure, the last attempt
    // of its series, or more waiting than the task may do). retryAfterMs is
    // the server's Retry-After in milliseconds (-1 without one): it replaces
    // the computed wait, within the longest single wait. progressed: the
    // attempt brought the rules' progress bytes, which starts a new series
    // of attempts and waits (the total of waiting is kept).
    bool NextWait(TransferFailure failure, DWORD dwStatus, int64_t retryAfterMs, bool progressed,
                  DWORD& waitMs) noexcept;

    int Attempts() const noexcept { return m_nAttempts; }
    DWORD WaitedMs() const noexcept { return m_dwWaitedMs; }

private:
    DWORD Jittered(DWORD baseMs) noexcept;

    RetryRules m_rules;
    uint32_t m_nRandom;
    int m_nAttempts = 0;  // failed attempts in the current series
    DWORD m_dwNextMs = 0; // the next computed wait, before jitter
    DWORD m_dwWaitedMs = 0;
};
