#include "download/retry_rules.h"

namespace {

// One row per failure: the whole policy of what is tried again. A status
// failure is decided by its status below.
struct FailureRule {
    TransferFailure failure;
    bool bTransient;
};

constexpr FailureRule kFailureRules[] = {
    {FAILURE_NONE, false},       {FAILURE_CONNECT, true},   {FAILURE_RESET, true},    {FAILURE_CUT, true},
    {FAILURE_STALLED, true},     {FAILURE_TOO_SLOW, true},  {FAILURE_STATUS, false},  {FAILURE_CERTIFICATE, false},
    {FAILURE_REDIRECTS, false},  {FAILURE_SIZE, false},     {FAILURE_DISK, false},    {FAILURE_DIGEST, false},
    {FAILURE_UNSAFE_URL, false}, {FAILURE_PROTOCOL, false}, {FAILURE_STOPPED, false},
};
static_assert(sizeof(kFailureRules) / sizeof(kFailureRules[0]) == FAILURE_STOPPED + 1, "one row per failure");

// A request time-out, too many requests, and the server errors that say the
// server (or a gateway before it) is in trouble for now; any other status
// would be answered the same way again.
constexpr DWORD kTransientStatuses[] = {408, 429, 500, 502, 503, 504};

} // namespace

bool IsTransientFailure(TransferFailure failure, DWORD dwStatus) noexcept {
    if (failure == FAILURE_STATUS) {
        for (DWORD status : kTransientStatuses) {
            if (status == dwStatus) {
                return true;
            }
        }
        return false;
    }
    for (const FailureRule& rule : kFailureRules) {
        if (rule.failure == failure) {
            return rule.bTransient;
        }
    }
    return false;
}

CRetrySchedule::CRetrySchedule(const RetryRules& rules, uint32_t seed) noexcept
    : m_rules(rules), m_nRandom(seed != 0 ? seed : 0x9E3779B9u), m_dwNextMs(rules.dwFirstWaitMs) {}

DWORD CRetrySchedule::Jittered(DWORD baseMs) noexcept {
    // xorshift32: enough to keep clients that failed together from coming
    // back together.
    m_nRandom ^= m_nRandom << 13;
    m_nRandom ^= m_nRandom >> 17;
    m_nRandom ^= m_nRandom << 5;
    const int64_t spread = static_cast<int64_t>(baseMs) * m_rules.nJitterPercent / 100;
    const int64_t offset = spread == 0 ? 0 : static_cast<int64_t>(m_nRandom % (2 * spread + 1)) - spread;
    const int64_t wait = static_cast<int64_t>(baseMs) + offset;
    return static_cast<DWORD>(wait < 0 ? 0 : wait > m_rules.dwMostWaitMs ? m_rules.dwMostWaitMs : wait);
}

bool CRetrySchedule::NextWait(TransferFailure failure, DWORD dwStatus, int64_t retryAfterMs, bool progressed,
                              DWORD& waitMs) noexcept {
    waitMs = 0;
    if (!IsTransientFailure(failure, dwStatus)) {
        return false;
    }
    if (progressed) {
        m_nAttempts = 0;
        m_dwNextMs = m_rules.dwFirstWaitMs;
    }
    if (++m_nAttempts >= m_rules.nMostAttempts) {
        return false;
    }
    DWORD wait = 0;
    if (retryAfterMs >= 0) {
        // The server's own word, as it gave it: no jitter, only the cap.
        wait = retryAfterMs > static_cast<int64_t>(m_rules.dwMostWaitMs) ? m_rules.dwMostWaitMs
                                                                         : static_cast<DWORD>(retryAfterMs);
    } else {
        wait = Jittered(m_dwNextMs);
    }
    if (static_cast<uint64_t>(m_dwWaitedMs) + wait > m_rules.dwMostWaitingMs) {
        return false;
    }
    m_dwWaitedMs += wait;
    m_dwNextMs = m_dwNextMs > m_rules.dwMostWaitMs / 2 ? m_rules.dwMostWaitMs : m_dwNextMs * 2;
    waitMs = wait;
    return true;
}
