#include "download/transfer.h"

#include "digest/fetch_rules.h"
#include "download/content_decoder.h"
#include "download/http_headers.h"

#include <cwchar>
#include <memory>
#include <new>

#include <shlwapi.h>
#include <wininet.h>

namespace {

// Bytes taken from the engine per read: a few reads per buffer the network
// fills, and little stack.
constexpr DWORD kReadChunk = 256 * 1024;

// What the answer's body is encoded as, as far as the transfer can read it.
enum BodyEncoding { ENCODING_IDENTITY, ENCODING_GZIP, ENCODING_DEFLATE, ENCODING_UNKNOWN };

BodyEncoding EncodingOf(const std::wstring& headers) {
    const std::wstring value = FindResponseHeader(headers.c_str(), L"Content-Encoding");
    if (value.empty() || _wcsicmp(value.c_str(), L"identity") == 0) {
        return ENCODING_IDENTITY;
    }
    if (_wcsicmp(value.c_str(), L"gzip") == 0 || _wcsicmp(value.c_str(), L"x-gzip") == 0) {
        return ENCODING_GZIP;
    }
    return _wcsicmp(value.c_str(), L"deflate") == 0 ? ENCODING_DEFLATE : ENCODING_UNKNOWN;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

TransferFailure FailureOf(CHttpEngine::Error error) {
    switch (error) {
    case CHttpEngine::ERROR_CONNECT:
        return FAILURE_CONNECT;
    case CHttpEngine::ERROR_BROKEN:
        return FAILURE_RESET;
    case CHttpEngine::ERROR_CERTIFICATE:
        return FAILURE_CERTIFICATE;
    case CHttpEngine::ERROR_URL:
        return FAILURE_UNSAFE_URL;
    default:
        return FAILURE_PROTOCOL;
    }
}

// The current time as seconds since 1601, the epoch of HTTP dates here.
int64_t NowSeconds() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000000);
}

// Where a redirect goes: Location taken against the URL it answered, and
// only ever to an address the worker fetches, never from https down to
// http (the body would lose what protects it on the way).
bool RedirectTarget(const std::wstring& from, const std::wstring& location, std::wstring& to) {
    if (location.empty()) {
        return false;
    }
    DWORD length = INTERNET_MAX_URL_LENGTH;
    std::wstring combined(length, L'\0');
    if (FAILED(::UrlCombineW(from.c_str(), location.c_str(), &combined[0], &length, URL_DONT_SIMPLIFY))) {
        return false;
    }
    combined.resize(length);
    if (!IsWebUrl(combined)) {
        return false;
    }
    if (_wcsnicmp(from.c_str(), L"https://", 8) == 0 && _wcsnicmp(combined.c_str(), L"https://", 8) != 0) {
        return false;
    }
    to.swap(combined);
    return true;
}

// Writes decoded (or plain) body bytes into the partial file, within the
// task's size bound and the disk's reserve; remembers which bound refused.
class CBodyWriter final : public CContentDecoder::CSink {
public:
    CBodyWriter(HANDLE file, const std::wstring& path, int64_t written, int64_t maxBytes, bool budgeted,
                int64_t reserve, const TransferSystem& system) noexcept
        : m_hFile(file), m_path(path), m_nWritten(written), m_nMaxBytes(maxBytes), m_bBudgeted(budgeted),
          m_nReserve(reserve), m_system(system) {}

    bool Write(const unsigned char* data, size_t size) noexcept override {
        if (static_cast<int64_t>(size) > m_nMaxBytes - m_nWritten) {
            m_failure = FAILURE_SIZE;
            return false;
        }
        if (m_bBudgeted && !HasRoomFor(static_cast<int64_t>(size))) {
            m_failure = FAILURE_DISK;
            return false;
        }
        DWORD written = 0;
        if (!::WriteFile(m_hFile, data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
            m_failure = FAILURE_DISK;
            return false;
        }
        m_nWritten += static_cast<int64_t>(size);
        return true;
    }

    int64_t Written() const noexcept { return m_nWritten; }
    TransferFailure Failure() const noexcept { return m_failure; }

private:
    // The free space is asked for again only once the room it left is
    // used up: a question per write would cost more than the write.
    bool HasRoomFor(int64_t size) noexcept {
        if (size <= m_nBudget) {
            m_nBudget -= size;
            return true;
        }
        int64_t freeBytes = 0;
        if (!m_system.pfnFreeBytes(m_path, freeBytes)) {
            return false;
        }
        m_nBudget = freeBytes - m_nReserve;
        if (size > m_nBudget) {
            return false;
        }
        m_nBudget -= size;
        return true;
    }

    HANDLE m_hFile;
    const std::wstring& m_path;
    int64_t m_nWritten;
    int64_t m_nMaxBytes;
    bool m_bBudgeted;
    int64_t m_nReserve;
    const TransferSystem& m_system;
    int64_t m_nBudget = 0;
    TransferFailure m_failure = FAILURE_NONE;
};

} // namespace

bool TransferSystem::VolumeFreeBytes(const std::wstring& path, int64_t& freeBytes) {
    // The folder of the file: the volume it is on, mount points included.
    std::wstring folder = path;
    const size_t separator = folder.find_last_of(L"\\/");
    folder.resize(separator == std::wstring::npos ? 0 : separator + 1);
    ULARGE_INTEGER available = {};
    if (!::GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    freeBytes =
        available.QuadPart > static_cast<ULONGLONG>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(available.QuadPart);
    return true;
}

CTransfer::CTransfer(CHttpEngine& engine, const TransferBounds& bounds, const TransferSystem& system,
                     std::atomic<LONG>& activity) noexcept
    : m_engine(engine), m_bounds(bounds), m_system(system), m_nActivity(activity) {}

TransferFailure CTransfer::CheckBounds(int64_t bodyBytes) {
    const ULONGLONG now = m_system.pfnNow();
    if (now - m_ullLastBytes >= m_bounds.dwStallMs) {
        return FAILURE_STALLED;
    }
    const DWORD window = m_bounds.dwRateWindowMs;
    if (m_nSamples == 0 || now - m_samples[(m_nSamples - 1) % kRateSamples].ullAt >= window / 10) {
        m_samples[m_nSamples % kRateSamples] = RateSample{now, bodyBytes};
        ++m_nSamples;
    }
    if (now - m_ullStarted < window) {
        return FAILURE_NONE;
    }
    // The newest sample at least a window old opens the window measured.
    const RateSample* opening = nullptr;
    const int kept = m_nSamples < kRateSamples ? m_nSamples : kRateSamples;
    for (int i = 0; i < kept; ++i) {
        const RateSample& sample = m_samples[(m_nSamples - 1 - i) % kRateSamples];
        if (now - sample.ullAt >= window) {
            opening = &sample;
            break;
        }
    }
    if (opening == nullptr) {
        return FAILURE_NONE;
    }
    // In milliseconds, so that no rate is rounded away; far from overflowing.
    const int64_t wanted = static_cast<int64_t>(now - opening->ullAt) * m_bounds.nMinBytesPerSecond / 1000;
    return bodyBytes - opening->nBytes < wanted ? FAILURE_TOO_SLOW : FAILURE_NONE;
}

bool CTransfer::OpenFollowingRedirects(const std::wstring& url, const std::wstring& headers, AttemptResult& result) {
    std::wstring current = url;
    for (int redirects = 0;; ++redirects) {
        CHttpEngine::Step step = m_engine.Open(current, headers, m_bounds.dwPollMs);
        while (step == CHttpEngine::STEP_PENDING) {
            // Waiting for an answer is waiting for bytes: the stall bound
            // ends a server that accepts and never answers.
            if (m_system.pfnNow() - m_ullLastBytes >= m_bounds.dwStallMs) {
                result.failure = FAILURE_STALLED;
                return false;
            }
            step = m_engine.AwaitResponse(m_bounds.dwPollMs);
        }
        if (step == CHttpEngine::STEP_STOPPED) {
            result.failure = FAILURE_STOPPED;
            return false;
        }
        if (step == CHttpEngine::STEP_FAILED) {
            result.failure = FailureOf(m_engine.LastError());
            return false;
        }
        result.dwStatus = m_engine.Status();
        if (!IsRedirect(result.dwStatus)) {
            return true;
        }
        // A redirect is no sign of a body coming, so it resets no clock:
        // a server that redirects in a circle is ended by the count.
        std::wstring next;
        if (redirects + 1 > m_bounds.nMostRedirects ||
            !RedirectTarget(current, FindResponseHeader(m_engine.Headers().c_str(), L"Location"), next)) {
            result.failure = FAILURE_REDIRECTS;
            return false;
        }
        m_engine.Close();
        current.swap(next);
    }
}

bool CTransfer::Truncate(TransferTarget& target, int64_t length) {
    LARGE_INTEGER at;
    at.QuadPart = length;
    return ::SetFilePointerEx(target.hFile, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(target.hFile);
}

void CTransfer::ForgetRecord(TransferTarget& target) {
    // The bytes are about to differ from what the record says of them.
    target.record.strValidator.clear();
    target.record.nTotal = -1;
    target.bRecordOnDisk = false;
    if (!target.strRecordPath.empty()) {
        ::DeleteFileW(target.strRecordPath.c_str());
    }
}

AttemptResult CTransfer::Attempt(const std::wstring& url, TransferTarget& target) {
    AttemptResult result;
    m_ullStarted = m_ullLastBytes = m_system.pfnNow();
    m_nSamples = 0;
    if (!IsWebUrl(url)) {
        result.failure = FAILURE_UNSAFE_URL;
        return result;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(target.hFile, &size)) {
        result.failure = FAILURE_DISK;
        return result;
    }
    int64_t held = size.QuadPart;
    // Only bytes a validator vouches for are asked to be continued.
    const bool resumable = target.bMayResume && !target.record.strValidator.empty() && target.record.nTotal > 0;
    int64_t from = resumable && held > 0 && held <= target.record.nTotal ? held : 0;

    for (int fresh = 0; fresh < 2; ++fresh) {
        if (from == 0 && held > 0) {
            if (!Truncate(target, 0)) {
                result.failure = FAILURE_DISK;
                return result;
            }
            held = 0;
            ForgetRecord(target);
        }
        // identity: a range means nothing on a representation the server
        // compresses as it sends, and a compressed body cannot be resumed.
        std::wstring headers = L"Accept-Encoding: identity\r\n";
        if (from > 0) {
            headers +=
                L"Range: bytes=" + std::to_wstring(from) + L"-\r\nIf-Range: " + target.record.strValidator + L"\r\n";
        }
        if (!OpenFollowingRedirects(url, headers, result)) {
            result.nHeld = held;
            m_engine.Close();
            return result;
        }
        const std::wstring& answer = m_engine.Headers();
        const DWORD status = result.dwStatus;
        // A length is announced only for a body sent as it is: a chunked
        // body's Content-Length means nothing, an encoded one's is not the file's.
        const bool lengthCounts =
            EncodingOf(answer) == ENCODING_IDENTITY && FindResponseHeader(answer.c_str(), L"Transfer-Encoding").empty();
        const int64_t announced =
            lengthCounts ? ParseContentLength(FindResponseHeader(answer.c_str(), L"Content-Length")) : -1;
        ContentRange range;
        const bool hasRange = ParseContentRange(FindResponseHeader(answer.c_str(), L"Content-Range"), range);
        if (from > 0 && status == 206) {
            if (hasRange && range.nFirst == from && range.nLast == range.nTotal - 1 &&
                range.nTotal == target.record.nTotal && EncodingOf(answer) == ENCODING_IDENTITY &&
                (announced < 0 || announced == range.nTotal - from)) {
                result.bJoined = true;
                ReadBody(target, from, range.nTotal - from, result);
                m_engine.Close();
                return result;
            }
        } else if (from > 0 && status == 416) {
            if (hasRange && range.nFirst < 0 && range.nTotal == held && held == target.record.nTotal) {
                // Every byte is already here; the digest decides.
                result.bJoined = true;
                result.nHeld = held;
                m_engine.Close();
                return result;
            }
        } else if (status == 206) {
            // A part never asked for is no body to keep.
            result.failure = FAILURE_PROTOCOL;
            result.nHeld = held;
            m_engine.Close();
            return result;
        } else if (status < 200 || status > 299) {
            result.failure = FAILURE_STATUS;
            result.nRetryAfterMs = ParseRetryAfter(FindResponseHeader(answer.c_str(), L"Retry-After"), NowSeconds());
            result.nHeld = held;
            m_engine.Close();
            return result;
        } else {
            // The whole body, from its first byte (a 200 to a range: the
            // server ignored it, or its validator no longer holds).
            if (held > 0 && !Truncate(target, 0)) {
                result.failure = FAILURE_DISK;
                m_engine.Close();
                return result;
            }
            held = 0;
            ForgetRecord(target);
            const std::wstring validator = ResumeValidator(answer.c_str());
            if (target.bMayResume && announced >= 0 && !validator.empty()) {
                // Kept for the next attempt; on disk for the next run, where
                // a later run may take the file over.
                target.record.strValidator = validator;
                target.record.nTotal = announced;
                target.bRecordOnDisk =
                    !target.strRecordPath.empty() && WriteResumeRecord(target.strRecordPath, target.record);
            }
            ReadBody(target, 0, announced, result);
            m_engine.Close();
            return result;
        }
        // Anything else to a range: its bytes cannot be joined to these,
        // so the whole body is asked for, once.
        m_engine.Close();
        from = 0;
    }
    result.failure = FAILURE_PROTOCOL;
    return result;
}

void CTransfer::ReadBody(TransferTarget& target, int64_t offset, int64_t announced, AttemptResult& result) {
    result.nHeld = offset;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!::SetFilePointerEx(target.hFile, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(target.hFile)) {
        result.failure = FAILURE_DISK;
        return;
    }
    const std::wstring& answer = m_engine.Headers();
    const BodyEncoding encoding = EncodingOf(answer);
    if (encoding == ENCODING_UNKNOWN) {
        result.failure = FAILURE_PROTOCOL;
        return;
    }
    // A length the server announces must fit on the disk, whole, before a
    // byte is written: a body of 2^62 bytes fails at once.
    if (announced >= 0) {
        int64_t freeBytes = 0;
        if (m_system.pfnFreeBytes(target.strPath, freeBytes) && announced > freeBytes) {
            result.failure = FAILURE_DISK;
            return;
        }
    }
    if (announced > m_bounds.nMaxBytes - offset) {
        result.failure = FAILURE_SIZE;
        return;
    }
    std::unique_ptr<CContentDecoder> decoder;
    if (encoding != ENCODING_IDENTITY) {
        decoder.reset(new (std::nothrow) CContentDecoder(encoding == ENCODING_GZIP ? CContentDecoder::FORMAT_GZIP
                                                                                   : CContentDecoder::FORMAT_DEFLATE));
        if (!decoder || !decoder->Ready()) {
            result.failure = FAILURE_PROTOCOL;
            return;
        }
    }
    // Without an announced length, and for an encoded body (whose decoded
    // length nobody announced), the disk's reserve is the bound.
    CBodyWriter writer(target.hFile, target.strPath, offset, m_bounds.nMaxBytes, announced < 0,
                       m_bounds.nDiskReserveBytes, m_system);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadChunk]);
    if (!buffer) {
        result.failure = FAILURE_DISK;
        return;
    }
    int64_t wire = 0;
    for (;;) {
        DWORD read = 0;
        const CHttpEngine::Step step = m_engine.Read(buffer.get(), kReadChunk, read, m_bounds.dwPollMs);
        if (step == CHttpEngine::STEP_STOPPED) {
            result.failure = FAILURE_STOPPED;
            break;
        }
        if (step == CHttpEngine::STEP_FAILED) {
            result.failure = FailureOf(m_engine.LastError());
            break;
        }
        if (step == CHttpEngine::STEP_PENDING || read == 0) {
            if (step == CHttpEngine::STEP_DONE) {
                // The end as the engine sees it; a cut body looks the same.
                if ((announced >= 0 && wire < announced) || (decoder && !decoder->Complete())) {
                    result.failure = FAILURE_CUT;
                }
                break;
            }
            const TransferFailure bound = CheckBounds(wire);
            if (bound != FAILURE_NONE) {
                result.failure = bound;
                break;
            }
            continue;
        }
        m_ullLastBytes = m_system.pfnNow();
        // Every piece is a sign of bytes arriving: a large file that keeps
        // coming is never taken for a stalled one.
        ++m_nActivity;
        if (announced >= 0 && static_cast<int64_t>(read) > announced - wire) {
            // More than the server said it would send: nothing of the excess is kept.
            result.failure = FAILURE_DISK;
            break;
        }
        wire += read;
        if (decoder) {
            const CContentDecoder::Result decoded =
                decoder->Feed(reinterpret_cast<const unsigned char*>(buffer.get()), read, writer);
            if (decoded == CContentDecoder::DECODE_REFUSED) {
                result.failure = writer.Failure();
                break;
            }
            if (decoded == CContentDecoder::DECODE_MALFORMED) {
                result.failure = FAILURE_PROTOCOL;
                break;
            }
        } else if (!writer.Write(reinterpret_cast<const unsigned char*>(buffer.get()), read)) {
            result.failure = writer.Failure();
            break;
        }
        const TransferFailure bound = CheckBounds(wire);
        if (bound != FAILURE_NONE && bound != FAILURE_STALLED) {
            result.failure = bound;
            break;
        }
    }
    result.nHeld = writer.Written();
}
