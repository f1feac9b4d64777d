#pragma once

#include <cstdint>
#include <string>

// What makes a partial file resumable, kept in a small file of a fixed
// format beside it ("<target>.<process id>.rvinfo" beside
// "<target>.<process id>.rvpart"): the target and the digest the list gave
// it, the URL it came from, the validator of the server's answer and the
// body's whole length. Written once per attempt that gets a body, read once
// per run; a record that cannot be read, or that names another target,
// digest or URL, makes its partial file a leftover. Any thread.
struct ResumeRecord {
    std::wstring strTarget;    // the target's full path
    std::wstring strMd5;       // the list's digest of the target (never empty in a record)
    std::wstring strUrl;       // the URL the task asks for (before any redirect)
    std::wstring strValidator; // the If-Range value: a strong entity tag, or a Last-Modified date
    int64_t nTotal = -1;       // the body's whole length

    // The fields a record must have to be written at all.
    bool Complete() const noexcept;
};

// Writes record to path, over any record there. A record cut short (a run
// killed while it wrote it) never reads back as one, so its partial file is
// then only a leftover. False when it cannot be written, or when the record
// is incomplete or too long for the format.
bool WriteResumeRecord(const std::wstring& path, const ResumeRecord& record) noexcept;
// Reads the record at path; false when there is none or it is not exactly
// one record of this format.
bool ReadResumeRecord(const std::wstring& path, ResumeRecord& record) noexcept;

// The record's fields against a task: the same target (compared as Windows
// compares names), the same digest (without regard to case) and the same URL.
bool RecordMatches(const ResumeRecord& record, const std::wstring& fullTarget, const std::wstring& md5,
                   const std::wstring& url) noexcept;
