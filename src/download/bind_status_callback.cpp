#include "download/bind_status_callback.h"

#include <string>

namespace {

// Bytes read from the binding's stream per call: a few calls per chunk that
// arrives, and little stack.
constexpr ULONG kReadChunk = 64 * 1024;

} // namespace

CBindStatusCallback::CBindStatusCallback(std::shared_ptr<TransferSignals> signals, HANDLE file, int64_t maxBytes,
                                         int64_t maxUnannouncedBytes) noexcept
    : m_pSignals(std::move(signals)), m_hFile(file), m_nMaxBytes(maxBytes),
      m_nMaxUnannouncedBytes(maxUnannouncedBytes < maxBytes ? maxUnannouncedBytes : maxBytes) {}

CBindStatusCallback::~CBindStatusCallback() {
    if (m_pBinding != nullptr) {
        m_pBinding->Release();
    }
}

void CBindStatusCallback::Abort() noexcept {
    if (m_pBinding == nullptr || m_bStopped || m_bAborted) {
        return;
    }
    m_bAborted = true;
    // OnStopBinding, which releases the binding, may run inside the call.
    IBinding* binding = m_pBinding;
    binding->AddRef();
    binding->Abort();
    binding->Release();
}

void CBindStatusCallback::CloseFile() noexcept {
    m_hFile.reset();
}

int64_t CBindStatusCallback::GetAnnouncedLength() const noexcept {
    if (m_bEncoded) {
        return -1;
    }
    if (m_nContentLength >= 0) {
        return m_nContentLength;
    }
    // BEGINDOWNLOADDATA carries the length when the headers could not be read;
    // 0 there means none was announced.
    return m_ulProgressMax > 0 ? static_cast<int64_t>(m_ulProgressMax) : -1;
}

bool CBindStatusCallback::AnnouncedLengthFits() noexcept {
    if (GetAnnouncedLength() > m_nMaxBytes) {
        m_bRefused = true;
    }
    return !m_bRefused;
}

bool CBindStatusCallback::DrainStream(IStream* stream) noexcept {
    char buffer[kReadChunk];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, sizeof(buffer), &read);
        if (read > 0) {
            // Never more than the cap, nor more than the body announced: the
            // file's size is known before a byte of the excess is written.
            const int64_t announced = GetAnnouncedLength();
            const int64_t limit = announced >= 0 ? announced : m_nMaxUnannouncedBytes;
            DWORD written = 0;
            if (static_cast<int64_t>(read) > limit - m_nWritten || !m_hFile ||
                !::WriteFile(m_hFile.get(), buffer, read, &written, nullptr) || written != read) {
                m_bRefused = true;
                return false;
            }
            m_nWritten += read;
            // A fast server keeps this loop going for the whole body: every
            // chunk is a sign of bytes arriving, or a large file would time
            // out while it arrives at full speed.
            ++m_pSignals->nActivity;
        }
        // E_PENDING: the rest has not arrived yet; S_FALSE: the body is over.
        if (hr != S_OK || read == 0) {
            return true;
        }
    }
}

STDMETHODIMP CBindStatusCallback::QueryInterface(REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
        *ppv = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(riid, IID_IHttpNegotiate)) {
        *ppv = static_cast<IHttpNegotiate*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CBindStatusCallback::AddRef() noexcept {
    return ++m_cRef;
}

STDMETHODIMP_(ULONG) CBindStatusCallback::Release() noexcept {
    const ULONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return count;
}

STDMETHODIMP CBindStatusCallback::OnStartBinding(DWORD, IBinding* pib) noexcept {
    if (pib == nullptr || m_pBinding != nullptr) {
        return E_INVALIDARG;
    }
    pib->AddRef();
    m_pBinding = pib;
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::GetPriority(LONG* pnPriority) noexcept {
    if (pnPriority == nullptr) {
        return E_POINTER;
    }
    *pnPriority = THREAD_PRIORITY_NORMAL;
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnLowResource(DWORD) noexcept {
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnProgress(ULONG, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR) noexcept {
    switch (ulStatusCode) {
    case BINDSTATUS_FINDINGRESOURCE:
    case BINDSTATUS_CONNECTING:
    case BINDSTATUS_SENDINGREQUEST:
        // Only signs that a transfer is being tried, not that bytes arrive.
        break;
    case BINDSTATUS_REDIRECTING:
        // Neither is a redirect, and a server that redirects in a circle
        // would otherwise feed the watchdog for good: the moniker follows
        // it as long as it goes on.
        if (++m_nRedirects > kMostRedirects) {
            m_bRefused = true;
        }
        break;
    case BINDSTATUS_BEGINDOWNLOADDATA:
        m_ulProgressMax = ulProgressMax;
        ++m_pSignals->nActivity;
        AnnouncedLengthFits();
        break;
    default:
        ++m_pSignals->nActivity;
        break;
    }
    // The moniker ignores what this returns; the worker aborts a refused body.
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnStopBinding(HRESULT hresult, LPCWSTR) noexcept {
    m_bStopped = true;
    m_hrStop = hresult;
    IBinding* binding = m_pBinding;
    m_pBinding = nullptr;
    if (binding != nullptr) {
        binding->Release();
    }
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) noexcept {
    if (grfBINDF == nullptr || pbindinfo == nullptr) {
        return E_POINTER;
    }
    // Asynchronous, so that the worker's own message loop runs the binding
    // and may abort it between any two of its steps; the body is pulled from
    // the stream as it arrives. Nothing goes into the internet cache: the
    // worker writes the body itself, and a second copy there would only be
    // written to be removed again (under Wine that copy and its index entry
    // cost a small file more than a tenth of its whole download, and a large
    // one its size in writes once more).
    *grfBINDF = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_NOWRITECACHE;
    // cbSize is the caller's; never clear more than the structure this program knows.
    const ULONG size = pbindinfo->cbSize;
    if (size < sizeof(ULONG)) {
        return E_INVALIDARG;
    }
    ZeroMemory(pbindinfo, size < sizeof(BINDINFO) ? size : sizeof(BINDINFO));
    pbindinfo->cbSize = size; // all else zero: a plain GET
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* pstgmed) noexcept {
    ++m_pSignals->nActivity;
    // S_OK even for a refused body: a failure here would stop the binding
    // without ending its protocol, and the worker's abort ends both.
    if (m_bRefused || !AnnouncedLengthFits() || pstgmed == nullptr || pstgmed->tymed != TYMED_ISTREAM ||
        pstgmed->pstm == nullptr) {
        return S_OK;
    }
    DrainStream(pstgmed->pstm);
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnObjectAvailable(REFIID, IUnknown*) noexcept {
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders) noexcept {
    if (pszAdditionalHeaders != nullptr) {
        *pszAdditionalHeaders = nullptr;
    }
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR,
                                             LPWSTR* pszAdditionalRequestHeaders) noexcept {
    if (pszAdditionalRequestHeaders != nullptr) {
        *pszAdditionalRequestHeaders = nullptr;
    }
    ++m_pSignals->nActivity;
    m_dwResponseCode = dwResponseCode;
    try {
        m_nContentLength = ParseContentLength(FindResponseHeader(szResponseHeaders, L"Content-Length"));
        const std::wstring encoding = FindResponseHeader(szResponseHeaders, L"Content-Encoding");
        m_bEncoded = !encoding.empty() && _wcsicmp(encoding.c_str(), L"identity") != 0;
    } catch (...) {
        // Out of memory while reading the headers: check no length.
        m_nContentLength = -1;
        m_bEncoded = true;
    }
    AnnouncedLengthFits();
    return S_OK;
}

std::wstring FindResponseHeader(LPCWSTR szHeaders, LPCWSTR szName) {
    if (szHeaders == nullptr || szName == nullptr) {
        return std::wstring();
    }
    const size_t nameLength = wcslen(szName);
    const wchar_t* line = szHeaders;
    while (*line != L'\0') {
        const wchar_t* end = line;
        while (*end != L'\0' && *end != L'\r' && *end != L'\n') {
            ++end;
        }
        if (static_cast<size_t>(end - line) > nameLength && line[nameLength] == L':' &&
            _wcsnicmp(line, szName, nameLength) == 0) {
            const wchar_t* value = line + nameLength + 1;
            while (value < end && (*value == L' ' || *value == L'\t')) {
                ++value;
            }
            const wchar_t* valueEnd = end;
            while (valueEnd > value && (valueEnd[-1] == L' ' || valueEnd[-1] == L'\t')) {
                --valueEnd;
            }
            return std::wstring(value, valueEnd);
        }
        line = end;
        while (*line == L'\r' || *line == L'\n') {
            ++line;
        }
    }
    return std::wstring();
}

int64_t ParseContentLength(const std::wstring& value) {
    if (value.empty()) {
        return -1;
    }
    int64_t result = 0;
    for (wchar_t c : value) {
        if (c < L'0' || c > L'9') {
            return -1;
        }
        const int digit = c - L'0';
        if (result > (INT64_MAX - digit) / 10) {
            return -1;
        }
        result = result * 10 + digit;
    }
    return result;
}
