#pragma once

#include "download/http_engine.h"
#include "download/resume_record.h"
#include "download/retry_rules.h"

#include <atomic>
#include <cstdint>
#include <string>

#include <windows.h>

// The bounds of one attempt. Every transfer ends within a defined time and
// never fills the disk, whatever the server does.
struct TransferBounds {
    // Nothing at all arriving for this long ends the attempt: a stalled link.
    // Well under the progress window's watchdog, so a stall is retried
    // before the run takes it for a dead worker.
    DWORD dwStallMs = 10000;
    // From the end of its first rate window on, an attempt must bring
    // nMinBytesPerSecond for every second of the last window: a body that
    // came fast at first and then trickles is not kept alive by its start.
    DWORD dwRateWindowMs = 20000;
    int64_t nMinBytesPerSecond = 4096;
    // A body without an announced length (or an encoded one, whose decoded
    // length nobody announced) may use the disk down to this much free space.
    int64_t nDiskReserveBytes = int64_t{512} << 20;
    // The most bytes of body a task may bring, announced or not: the file
    // list's cap (its reader takes it whole into memory).
    int64_t nMaxBytes = INT64_MAX;
    // More redirects than this end the attempt, as browsers end them.
    int nMostRedirects = 10;
    // How often a wait for the network looks at the clock, the stop and the bounds.
    DWORD dwPollMs = 250;
};

// What an attempt measures the world with; tests replace both.
struct TransferSystem {
    ULONGLONG(WINAPI* pfnNow)() = &::GetTickCount64;
    // The bytes the caller may still write on the volume of path; false when
    // that cannot be told (the bound then waits for the next question).
    bool (*pfnFreeBytes)(const std::wstring& path, int64_t& freeBytes) = &VolumeFreeBytes;

    static bool VolumeFreeBytes(const std::wstring& path, int64_t& freeBytes);
};

// One task's file as its attempts see it.
struct TransferTarget {
    HANDLE hFile = INVALID_HANDLE_VALUE; // the partial file, open for writing; its bytes are what is held
    std::wstring strPath;                // its path (the volume the space bound asks about)
    // Where the resume record is kept for a later run; empty for a task
    // whose partial file no later run takes over (one without a listed
    // digest to check the joined bytes against).
    std::wstring strRecordPath;
    // Target, digest and URL are the caller's; the validator and the total
    // are the server's, kept from the attempt that last got a body, so that
    // the next attempt can continue where this one ended.
    ResumeRecord record;
    // Whether the task's bytes may be continued at all: never for the file
    // list (small, always fetched whole) or a download into the cache, and
    // no more once a resumed file turned out wrong.
    bool bMayResume = true;
    // A record at strRecordPath describes the file as it is: a later run
    // may take it over.
    bool bRecordOnDisk = false;
};

// How an attempt ended.
struct AttemptResult {
    TransferFailure failure = FAILURE_NONE;
    DWORD dwStatus = 0;         // the last HTTP status seen, 0 for none
    int64_t nRetryAfterMs = -1; // the server's Retry-After, -1 for none
    int64_t nHeld = 0;          // bytes in the partial file afterwards
    bool bJoined = false;       // the file holds bytes from before this attempt (a resume)
};

// The rules of one attempt: the request (a range from the bytes held, when
// a record says they can be trusted), what the answer allows (a 206 that
// continues exactly there is appended; a 200 starts again from the first
// byte; a 416 that names the length held means the file is whole; anything
// else starts again), the body's bounds and its encoding, and the record
// that lets a later attempt or run resume. Redirects are followed here.
// The worker thread only.
class CTransfer {
public:
    CTransfer(CHttpEngine& engine, const TransferBounds& bounds, const TransferSystem& system,
              std::atomic<LONG>& activity) noexcept;

    AttemptResult Attempt(const std::wstring& url, TransferTarget& target);

private:
    struct Body;
    // Sends the request and follows redirects; false with result's failure set.
    bool OpenFollowingRedirects(const std::wstring& url, const std::wstring& headers, AttemptResult& result);
    // Reads the body into the file from offset; fills result.
    void ReadBody(TransferTarget& target, int64_t offset, int64_t announced, AttemptResult& result);
    bool Truncate(TransferTarget& target, int64_t length);
    void ForgetRecord(TransferTarget& target);
    // A stop, a stall or a slow body, as the clock and the bytes say now.
    TransferFailure CheckBounds(int64_t bodyBytes);

    CHttpEngine& m_engine;
    TransferBounds m_bounds;
    TransferSystem m_system;
    std::atomic<LONG>& m_nActivity;

    // Per attempt: when it began, when bytes last came, and samples of the
    // body's bytes over the last rate window (at most one per tenth of it).
    ULONGLONG m_ullStarted = 0;
    ULONGLONG m_ullLastBytes = 0;
    static constexpr int kRateSamples = 12;
    struct RateSample {
        ULONGLONG ullAt;
        int64_t nBytes;
    };
    RateSample m_samples[kRateSamples] = {};
    int m_nSamples = 0;
};
