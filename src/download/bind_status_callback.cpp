#include "download/bind_status_callback.h"

#include <string>

CBindStatusCallback::CBindStatusCallback(std::atomic<LONG>& activity, HANDLE hStopEvent) noexcept
    : m_nActivity(activity), m_hStopEvent(hStopEvent) {}

CBindStatusCallback::~CBindStatusCallback() {
    SetBinding(nullptr);
}

void CBindStatusCallback::Abort() noexcept {
    IBinding* binding = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_bindingLock);
        binding = m_pBinding;
        if (binding != nullptr) {
            binding->AddRef();
        }
    }
    // Outside the lock: OnStopBinding, which takes it, may run inside Abort.
    if (binding != nullptr) {
        binding->Abort();
        binding->Release();
    }
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

bool CBindStatusCallback::StopRequested() const noexcept {
    return m_hStopEvent == nullptr || ::WaitForSingleObject(m_hStopEvent, 0) != WAIT_TIMEOUT;
}

void CBindStatusCallback::SetBinding(IBinding* pib) noexcept {
    if (pib != nullptr) {
        pib->AddRef();
    }
    IBinding* old = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_bindingLock);
        old = m_pBinding;
        m_pBinding = pib;
    }
    if (old != nullptr) {
        old->Release();
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
    SetBinding(pib);
    // The binding is known from here on, so a stop that comes later reaches it
    // through Abort; one that came before is seen here.
    return StopRequested() ? E_ABORT : S_OK;
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
    case BINDSTATUS_BEGINDOWNLOADDATA:
        m_ulProgressMax = ulProgressMax;
        ++m_nActivity;
        break;
    default:
        ++m_nActivity;
        break;
    }
    return StopRequested() ? E_ABORT : S_OK;
}

STDMETHODIMP CBindStatusCallback::OnStopBinding(HRESULT, LPCWSTR) noexcept {
    SetBinding(nullptr);
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) noexcept {
    if (grfBINDF == nullptr || pbindinfo == nullptr) {
        return E_POINTER;
    }
    // The download call chooses its own binding flags; leave them as they are.
    *grfBINDF = 0;
    // cbSize is the caller's; never clear more than the structure this program knows.
    const ULONG size = pbindinfo->cbSize;
    if (size < sizeof(ULONG)) {
        return E_INVALIDARG;
    }
    ZeroMemory(pbindinfo, size < sizeof(BINDINFO) ? size : sizeof(BINDINFO));
    pbindinfo->cbSize = size; // all else zero: a plain GET
    return S_OK;
}

STDMETHODIMP CBindStatusCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) noexcept {
    ++m_nActivity;
    return StopRequested() ? E_ABORT : S_OK;
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
    ++m_nActivity;
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
