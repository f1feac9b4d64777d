#include "download/winhttp_engine.h"

#include "download/http_headers.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include <winhttp.h>

namespace {

// How far the I/O thread reads a body ahead of the worker: enough that the
// network never waits for the disk, little enough to hold.
constexpr size_t kRingBytes = 1024 * 1024;
// WinHTTP's own bounds on the I/O thread's calls. The worker's stall bound
// ends an attempt long before these; they only bound how long a thread left
// inside a call can live.
constexpr int kResolveTimeoutMs = 15000;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 30000;
// Body bytes the I/O thread gathers before it wakes a waiting worker: what
// the worker takes in one read.
constexpr size_t kWakeBytes = 256 * 1024;
// How long a new request waits for the I/O thread to put the last one
// away (closing a handle takes well under a millisecond) before it takes
// the thread for stuck inside a call.
constexpr DWORD kPutAwayWaitMs = 200;
// Under Wine WinHTTP reads Content-Length into a 32-bit signed number: a
// longer body ends for it at 2^31 - 1 bytes, and it then hands the
// connection, the rest of the body still in it, to the next request. The
// engine stops one byte short and closes the connection instead: the
// transfer sees a cut body and continues it with a range.
constexpr int64_t kWineLengthLimit = 0x7FFFFFFE;
// The longest the first request of a server waits for the automatic proxy
// configuration (a script to fetch and run, or a detection) to answer.
constexpr DWORD kAutoProxyWaitMs = 2000;

// Wine, which this program is tested on, says so in ntdll.
bool RunsUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

CHttpEngine::Error ErrorOf(DWORD code, bool answered) {
    switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case ERROR_CONNECTION_REFUSED:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
        return CHttpEngine::ERROR_CONNECT;
    // WinHTTP hands the socket's own error on as it is (Wine does, for a
    // reset in mid-body): a link that broke, as its own code would say.
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAESHUTDOWN:
    case WSAENOTCONN:
    case WSAETIMEDOUT:
    case ERROR_NETNAME_DELETED:
    case ERROR_CONNECTION_ABORTED:
        return answered ? CHttpEngine::ERROR_BROKEN : CHttpEngine::ERROR_CONNECT;
    case ERROR_WINHTTP_TIMEOUT:
        return answered ? CHttpEngine::ERROR_BROKEN : CHttpEngine::ERROR_CONNECT;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_RESEND_REQUEST:
        return CHttpEngine::ERROR_BROKEN;
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return CHttpEngine::ERROR_CERTIFICATE;
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return CHttpEngine::ERROR_URL;
    default:
        return CHttpEngine::ERROR_OTHER;
    }
}

struct InternetHandleTraits {
    using pointer = HINTERNET;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};
using unique_hinternet = base::CUniqueHandle<InternetHandleTraits>;

// The current user's proxy settings, read once per process: the system's
// own answer for every program of the user.
struct ProxySettings {
    bool bAutoDetect = false;
    std::wstring strAutoConfigUrl;
    std::wstring strProxy;
    std::wstring strBypass;
};

std::wstring TakeGlobalText(LPWSTR text) {
    std::wstring taken = text != nullptr ? text : L"";
    if (text != nullptr) {
        ::GlobalFree(text);
    }
    return taken;
}

// The proxy of each scheme and server, once found: a script or a detection
// answers the same for the whole run, and asking costs a round of lookups.
class CProxyFinder {
public:
    // Never destroyed: a thread left inside a call may still ask while the
    // process runs its exit handlers.
    static CProxyFinder& Instance() {
        static CProxyFinder* const finder = new CProxyFinder;
        return *finder;
    }

    // Sets the request's proxy for url; nothing for a direct connection.
    void Apply(HINTERNET request, const std::wstring& url, const URL_COMPONENTS& parts) {
        std::wstring proxy;
        std::wstring bypass;
        if (!Find(url, parts, proxy, bypass) || proxy.empty()) {
            return;
        }
        WINHTTP_PROXY_INFO info = {};
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = &proxy[0];
        info.lpszProxyBypass = bypass.empty() ? nullptr : &bypass[0];
        ::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info));
    }

private:
    CProxyFinder() {
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
        if (::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
            m_settings.bAutoDetect = config.fAutoDetect != FALSE;
            m_settings.strAutoConfigUrl = TakeGlobalText(config.lpszAutoConfigUrl);
            m_settings.strProxy = TakeGlobalText(config.lpszProxy);
            m_settings.strBypass = TakeGlobalText(config.lpszProxyBypass);
        }
    }

    bool Find(const std::wstring& url, const URL_COMPONENTS& parts, std::wstring& proxy, std::wstring& bypass) {
        const bool automatic = m_settings.bAutoDetect || !m_settings.strAutoConfigUrl.empty();
        if (!automatic || m_bAutomaticFailed) {
            proxy = m_settings.strProxy;
            bypass = m_settings.strBypass;
            return true;
        }
        const std::wstring key = std::wstring(parts.lpszScheme, parts.dwSchemeLength) + L"://" +
                                 std::wstring(parts.lpszHostName, parts.dwHostNameLength) + L":" +
                                 std::to_wstring(parts.nPort);
        {
            std::lock_guard<base::CSlimLock> guard(m_lock);
            const auto found = m_found.find(key);
            if (found != m_found.end()) {
                proxy = found->second.first;
                bypass = found->second.second;
                return true;
            }
        }
        std::wstring found;
        std::wstring foundBypass;
        if (FindAutomatically(url, found, foundBypass)) {
            proxy = found;
            bypass = foundBypass;
        } else {
            // No script and nothing detected (or no answer in time): the
            // settings' own proxy, if any, for the rest of the run, without
            // asking again.
            m_bAutomaticFailed = true;
            proxy = m_settings.strProxy;
            bypass = m_settings.strBypass;
            return true;
        }
        std::lock_guard<base::CSlimLock> guard(m_lock);
        m_found[key] = std::make_pair(proxy, bypass);
        return true;
    }

    // One question to the automatic configuration, answered on a thread of
    // its own within kAutoProxyWaitMs: detection asks DHCP and DNS, and a
    // network that never answers must not hold the first transfer for long.
    struct AutoProxyQuestion {
        std::wstring strUrl;
        std::wstring strConfigUrl; // empty: detect
        bool bAnswered = false;
        std::wstring strProxy;
        std::wstring strBypass;
    };

    static DWORD WINAPI AskAutoProxy(LPVOID param) {
        std::shared_ptr<AutoProxyQuestion> question(*static_cast<std::shared_ptr<AutoProxyQuestion>*>(param));
        delete static_cast<std::shared_ptr<AutoProxyQuestion>*>(param);
        const unique_hinternet session(::WinHttpOpen(L"RadeVare", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                     WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            return 0;
        }
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        if (!question->strConfigUrl.empty()) {
            options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = question->strConfigUrl.c_str();
        } else {
            options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info = {};
        if (::WinHttpGetProxyForUrl(session.get(), question->strUrl.c_str(), &options, &info)) {
            std::wstring proxy;
            std::wstring bypass;
            if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
                proxy = info.lpszProxy;
                bypass = info.lpszProxyBypass != nullptr ? info.lpszProxyBypass : L"";
            }
            TakeGlobalText(info.lpszProxy);
            TakeGlobalText(info.lpszProxyBypass);
            std::lock_guard<base::CSlimLock> guard(Instance().m_lock);
            question->strProxy.swap(proxy);
            question->strBypass.swap(bypass);
            question->bAnswered = true;
        }
        return 0;
    }

    bool FindAutomatically(const std::wstring& url, std::wstring& proxy, std::wstring& bypass) {
        try {
            auto question = std::make_shared<AutoProxyQuestion>();
            question->strUrl = url;
            question->strConfigUrl = m_settings.strAutoConfigUrl;
            auto* handed = new std::shared_ptr<AutoProxyQuestion>(question);
            const base::unique_handle thread(::CreateThread(nullptr, 0, &AskAutoProxy, handed, 0, nullptr));
            if (!thread) {
                delete handed;
                return false;
            }
            ::WaitForSingleObject(thread.get(), kAutoProxyWaitMs);
            std::lock_guard<base::CSlimLock> guard(m_lock);
            if (!question->bAnswered) {
                return false;
            }
            proxy = question->strProxy;
            bypass = question->strBypass;
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    ProxySettings m_settings;
    base::CSlimLock m_lock;
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> m_found;
    std::atomic<bool> m_bAutomaticFailed{false};
};

} // namespace

// What the worker side and one I/O thread share. Everything but the events
// is guarded by the lock. A request is known by its number: the worker
// bumps it for each Open, and the thread serves only the newest, so
// nothing of a request given up is ever taken for the next one's.
struct CWinHttpEngine::Channel {
    base::CSlimLock lock;
    base::unique_event hWake{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // the I/O thread waits on it
    base::unique_event hReady{::CreateEventW(nullptr, FALSE, FALSE, nullptr)}; // the worker waits on it
    std::wstring strUserAgent;
    bool bCapsLength = RunsUnderWine();

    // The worker's side.
    unsigned nRequest = 0;
    std::wstring strUrl;
    std::wstring strHeaders;
    bool bCloseRequest = false; // the worker is done with request nRequest
    bool bQuit = false;
    bool bWorkerWaits = false;

    // The thread's side, for request nAnswered.
    unsigned nAnswered = 0;
    bool bIdle = true; // waiting for a request, outside every call
    bool bResponse = false;
    bool bFailed = false;
    bool bEnded = false;
    DWORD dwStatus = 0;
    std::wstring strResponseHeaders;
    CHttpEngine::Error error = CHttpEngine::ERROR_NONE;
    bool bThreadWaitsForRoom = false;
    std::unique_ptr<char[]> ring{new (std::nothrow) char[kRingBytes]};
    size_t nRingHead = 0;
    size_t nRingCount = 0;

    void WakeWorkerLocked() {
        if (bWorkerWaits) {
            ::SetEvent(hReady.get());
        }
    }

    static DWORD WINAPI ThreadProc(LPVOID param);
    void Serve(HINTERNET session, unsigned request, const std::wstring& url, const std::wstring& headers);
    void Fail(unsigned request, CHttpEngine::Error failure);
    bool Current(unsigned request) const { return nRequest == request && !bCloseRequest && !bQuit; }
};

DWORD WINAPI CWinHttpEngine::Channel::ThreadProc(LPVOID param) {
    // The thread keeps the channel alive for as long as it runs: a worker
    // may give it up and go while a call here still waits on the network.
    std::unique_ptr<std::shared_ptr<Channel>> owner(static_cast<std::shared_ptr<Channel>*>(param));
    Channel& channel = **owner;
    const unique_hinternet session(::WinHttpOpen(channel.strUserAgent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) {
        ::WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    }
    unsigned served = 0;
    for (;;) {
        unsigned request = 0;
        std::wstring url;
        std::wstring headers;
        {
            std::unique_lock<base::CSlimLock> guard(channel.lock);
            while (!channel.bQuit && channel.nRequest == served) {
                channel.bIdle = true;
                channel.WakeWorkerLocked();
                guard.unlock();
                ::WaitForSingleObject(channel.hWake.get(), INFINITE);
                guard.lock();
            }
            if (channel.bQuit) {
                return 0;
            }
            request = served = channel.nRequest;
            url = channel.strUrl;
            headers = channel.strHeaders;
            channel.bIdle = false;
            channel.nAnswered = request;
            channel.bResponse = channel.bFailed = channel.bEnded = false;
            channel.nRingHead = channel.nRingCount = 0;
        }
        if (!session) {
            channel.Fail(request, CHttpEngine::ERROR_OTHER);
            continue;
        }
        channel.Serve(session.get(), request, url, headers);
    }
}

void CWinHttpEngine::Channel::Fail(unsigned request, CHttpEngine::Error failure) {
    std::lock_guard<base::CSlimLock> guard(lock);
    if (nAnswered == request) {
        bFailed = true;
        error = failure;
        WakeWorkerLocked();
    }
}

void CWinHttpEngine::Channel::Serve(HINTERNET session, unsigned request, const std::wstring& url,
                                    const std::wstring& headers) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0) {
        Fail(request, CHttpEngine::ERROR_URL);
        return;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                          std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) {
        object = L"/";
    }
    const unique_hinternet connection(::WinHttpConnect(session, host.c_str(), parts.nPort, 0));
    const unique_hinternet handle(
        connection ? ::WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                   : nullptr);
    if (!handle) {
        Fail(request, ErrorOf(::GetLastError(), false));
        return;
    }
    // Redirects are the transfer's to follow: it limits them, refuses a
    // step down from https, and sends its range again on each.
    DWORD features = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof(features));
    CProxyFinder::Instance().Apply(handle.get(), url, parts);

    if (!::WinHttpSendRequest(handle.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                              headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(handle.get(), nullptr)) {
        Fail(request, ErrorOf(::GetLastError(), false));
        return;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    DWORD headerBytes = 0;
    ::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    ::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr,
                          &headerBytes, WINHTTP_NO_HEADER_INDEX);
    std::wstring raw;
    try {
        raw.assign(headerBytes / sizeof(wchar_t) + 1, L'\0');
    } catch (const std::bad_alloc&) {
        Fail(request, CHttpEngine::ERROR_OTHER);
        return;
    }
    DWORD rawBytes = static_cast<DWORD>(raw.size() * sizeof(wchar_t));
    if (!::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, &raw[0],
                               &rawBytes, WINHTTP_NO_HEADER_INDEX)) {
        Fail(request, CHttpEngine::ERROR_OTHER);
        return;
    }
    raw.resize(rawBytes / sizeof(wchar_t));
    int64_t limit = INT64_MAX;
    if (bCapsLength && FindResponseHeader(raw.c_str(), L"Transfer-Encoding").empty()) {
        const int64_t announced = ParseContentLength(FindResponseHeader(raw.c_str(), L"Content-Length"));
        if (announced > kWineLengthLimit) {
            limit = kWineLengthLimit;
        }
    }
    {
        std::lock_guard<base::CSlimLock> guard(lock);
        if (!Current(request)) {
            return;
        }
        bResponse = true;
        dwStatus = status;
        strResponseHeaders.swap(raw);
        WakeWorkerLocked();
    }

    // The body, read ahead into the ring until it ends, fails, or the
    // worker is done with it. Each read asks only for what has arrived, so
    // a slow body comes to the worker as it comes, not a buffer at a time.
    int64_t taken = 0;
    for (;;) {
        size_t room = 0;
        size_t tail = 0;
        {
            std::unique_lock<base::CSlimLock> guard(lock);
            while (Current(request) && nRingCount == kRingBytes) {
                bThreadWaitsForRoom = true;
                guard.unlock();
                ::WaitForSingleObject(hWake.get(), INFINITE);
                guard.lock();
                bThreadWaitsForRoom = false;
            }
            if (!Current(request)) {
                return;
            }
            tail = (nRingHead + nRingCount) % kRingBytes;
            room = tail >= nRingHead ? kRingBytes - tail : nRingHead - tail;
            if (nRingCount == 0) {
                tail = nRingHead = 0;
                room = kRingBytes;
            }
        }
        if (taken >= limit) {
            std::lock_guard<base::CSlimLock> guard(lock);
            if (Current(request)) {
                bEnded = true;
                WakeWorkerLocked();
            }
            return;
        }
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(handle.get(), &available)) {
            Fail(request, ErrorOf(::GetLastError(), true));
            return;
        }
        if (available == 0) {
            std::lock_guard<base::CSlimLock> guard(lock);
            if (Current(request)) {
                bEnded = true;
                WakeWorkerLocked();
            }
            return;
        }
        DWORD wanted = available < room ? available : static_cast<DWORD>(room);
        if (static_cast<int64_t>(wanted) > limit - taken) {
            wanted = static_cast<DWORD>(limit - taken);
        }
        DWORD read = 0;
        // Only this thread writes the free part of the ring, and the worker
        // reads only the part the count covers: no lock for the copy.
        if (!::WinHttpReadData(handle.get(), ring.get() + tail, wanted, &read)) {
            Fail(request, ErrorOf(::GetLastError(), true));
            return;
        }
        std::lock_guard<base::CSlimLock> guard(lock);
        if (!Current(request)) {
            return;
        }
        if (read == 0) {
            bEnded = true;
            WakeWorkerLocked();
            return;
        }
        taken += read;
        nRingCount += read;
        // A worker's read's worth, or a ring that is full: a wake-up for
        // every piece the network hands over would cost more than the
        // piece. Less than that waits for the worker's own next look.
        if (nRingCount >= kWakeBytes || nRingCount == kRingBytes) {
            WakeWorkerLocked();
        }
    }
}

CWinHttpEngine::CWinHttpEngine(HANDLE stopEvent, const std::wstring& userAgent) noexcept
    : m_hStop(stopEvent), m_strUserAgent(userAgent) {}

CWinHttpEngine::~CWinHttpEngine() {
    if (!m_pChannel) {
        return;
    }
    bool idle = false;
    {
        std::lock_guard<base::CSlimLock> guard(m_pChannel->lock);
        m_pChannel->bQuit = true;
        idle = m_pChannel->bIdle;
    }
    ::SetEvent(m_pChannel->hWake.get());
    // An idle thread closes its session (and the connections it keeps) at
    // once; one inside a call is left to end by itself.
    if (idle && m_hThread) {
        ::WaitForSingleObject(m_hThread.get(), kPutAwayWaitMs);
    }
}

void CWinHttpEngine::Abandon() noexcept {
    {
        std::lock_guard<base::CSlimLock> guard(m_pChannel->lock);
        m_pChannel->bQuit = true;
    }
    ::SetEvent(m_pChannel->hWake.get());
    m_pChannel.reset();
    m_hAbandoned = std::move(m_hThread);
}

bool CWinHttpEngine::ReadyThread() noexcept {
    if (m_pChannel) {
        // The last request is put away as soon as the thread sees it closed.
        const ULONGLONG started = ::GetTickCount64();
        std::unique_lock<base::CSlimLock> guard(m_pChannel->lock);
        while (!m_pChannel->bIdle) {
            const ULONGLONG waited = ::GetTickCount64() - started;
            if (waited >= kPutAwayWaitMs) {
                guard.unlock();
                Abandon();
                break;
            }
            m_pChannel->bWorkerWaits = true;
            guard.unlock();
            ::WaitForSingleObject(m_pChannel->hReady.get(), static_cast<DWORD>(kPutAwayWaitMs - waited));
            guard.lock();
            m_pChannel->bWorkerWaits = false;
        }
        if (m_pChannel) {
            return true;
        }
    }
    try {
        auto channel = std::make_shared<Channel>();
        if (!channel->hWake || !channel->hReady || !channel->ring) {
            return false;
        }
        channel->strUserAgent = m_strUserAgent;
        auto* owner = new std::shared_ptr<Channel>(channel);
        HANDLE thread = ::CreateThread(nullptr, 0, &Channel::ThreadProc, owner, 0, nullptr);
        if (thread == nullptr) {
            delete owner;
            return false;
        }
        m_hThread.reset(thread);
        m_pChannel = std::move(channel);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

CHttpEngine::Step CWinHttpEngine::Open(const std::wstring& url, const std::wstring& headers, DWORD waitMs) {
    Close();
    m_bResponse = false;
    m_dwStatus = 0;
    m_strHeaders.clear();
    m_error = ERROR_NONE;
    if (::WaitForSingleObject(m_hStop, 0) != WAIT_TIMEOUT) {
        return STEP_STOPPED;
    }
    if (!ReadyThread()) {
        m_error = ERROR_OTHER;
        return STEP_FAILED;
    }
    try {
        std::lock_guard<base::CSlimLock> guard(m_pChannel->lock);
        m_pChannel->strUrl = url;
        m_pChannel->strHeaders = headers;
        m_pChannel->bCloseRequest = false;
        m_nRequest = ++m_pChannel->nRequest;
    } catch (const std::bad_alloc&) {
        m_error = ERROR_OTHER;
        return STEP_FAILED;
    }
    ::SetEvent(m_pChannel->hWake.get());
    return AwaitResponse(waitMs);
}

CHttpEngine::Step CWinHttpEngine::WaitForNews(std::unique_lock<base::CSlimLock>& guard, ULONGLONG started,
                                              DWORD waitMs) {
    const ULONGLONG waited = ::GetTickCount64() - started;
    if (waited >= waitMs) {
        return STEP_PENDING;
    }
    Channel& channel = *m_pChannel;
    channel.bWorkerWaits = true;
    guard.unlock();
    HANDLE events[2] = {m_hStop, channel.hReady.get()};
    const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(waitMs - waited));
    guard.lock();
    channel.bWorkerWaits = false;
    return woke == WAIT_OBJECT_0 || woke == WAIT_FAILED ? STEP_STOPPED : STEP_DONE;
}

CHttpEngine::Step CWinHttpEngine::AwaitResponse(DWORD waitMs) {
    if (m_nRequest == 0 || !m_pChannel) {
        m_error = ERROR_OTHER;
        return STEP_FAILED;
    }
    if (m_bResponse) {
        return STEP_DONE;
    }
    const ULONGLONG started = ::GetTickCount64();
    std::unique_lock<base::CSlimLock> guard(m_pChannel->lock);
    for (;;) {
        Channel& channel = *m_pChannel;
        if (channel.nAnswered == m_nRequest && channel.bResponse) {
            m_bResponse = true;
            m_dwStatus = channel.dwStatus;
            m_strHeaders = channel.strResponseHeaders;
            return STEP_DONE;
        }
        if (channel.nAnswered == m_nRequest && channel.bFailed) {
            m_error = channel.error;
            return STEP_FAILED;
        }
        const Step waited = WaitForNews(guard, started, waitMs);
        if (waited != STEP_DONE) {
            return waited;
        }
    }
}

CHttpEngine::Step CWinHttpEngine::Read(char* buffer, DWORD size, DWORD& read, DWORD waitMs) {
    read = 0;
    if (!m_bResponse || !m_pChannel) {
        m_error = ERROR_OTHER;
        return STEP_FAILED;
    }
    const ULONGLONG started = ::GetTickCount64();
    std::unique_lock<base::CSlimLock> guard(m_pChannel->lock);
    for (;;) {
        Channel& channel = *m_pChannel;
        const bool current = channel.nAnswered == m_nRequest;
        const bool over = current && (channel.bEnded || channel.bFailed);
        // A whole read's worth is taken at once; less only once the body is
        // over or the wait is up, so that a fast body goes a buffer at a
        // time and a slow one still comes within the wait.
        if (current && channel.nRingCount > 0 &&
            (channel.nRingCount >= size || channel.nRingCount >= kWakeBytes || over ||
             ::GetTickCount64() - started >= waitMs)) {
            read = TakeFromRing(channel, guard, buffer, size);
            return STEP_DONE;
        }
        if (current && channel.bFailed) {
            m_error = channel.error;
            return STEP_FAILED;
        }
        if (current && channel.bEnded) {
            return STEP_DONE;
        }
        const Step waited = WaitForNews(guard, started, waitMs);
        if (waited == STEP_PENDING && current && channel.nRingCount > 0) {
            continue; // the wait is up: what came is taken above
        }
        if (waited != STEP_DONE) {
            return waited;
        }
    }
}

DWORD CWinHttpEngine::TakeFromRing(Channel& channel, std::unique_lock<base::CSlimLock>& guard, char* buffer,
                                   DWORD size) {
    // The bytes the count covers are the worker's to read, and the I/O
    // thread writes only past them: the copy needs no lock, and the I/O
    // thread never waits for it.
    const size_t head = channel.nRingHead;
    size_t wanted = channel.nRingCount < size ? channel.nRingCount : size;
    guard.unlock();
    size_t taken = 0;
    while (taken < wanted) {
        const size_t at = (head + taken) % kRingBytes;
        size_t piece = kRingBytes - at;
        if (piece > wanted - taken) {
            piece = wanted - taken;
        }
        std::memcpy(buffer + taken, channel.ring.get() + at, piece);
        taken += piece;
    }
    guard.lock();
    channel.nRingHead = (head + taken) % kRingBytes;
    channel.nRingCount -= taken;
    if (channel.bThreadWaitsForRoom) {
        ::SetEvent(channel.hWake.get());
    }
    return static_cast<DWORD>(taken);
}

void CWinHttpEngine::Close() noexcept {
    if (m_nRequest == 0 || !m_pChannel) {
        m_nRequest = 0;
        return;
    }
    {
        std::lock_guard<base::CSlimLock> guard(m_pChannel->lock);
        if (m_pChannel->nRequest == m_nRequest) {
            m_pChannel->bCloseRequest = true;
        }
    }
    ::SetEvent(m_pChannel->hWake.get());
    m_nRequest = 0;
    m_bResponse = false;
}
