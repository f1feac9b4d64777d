#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The status callback of one URL moniker download. It watches what the call
// itself does not report honestly under Wine (the HTTP status, the announced
// length), counts every sign of bytes arriving for the progress window's
// watchdog, and ends the transfer once a stop has been requested.
//
// The URL moniker calls it on the thread that runs the download (the
// worker); Abort may be called from any thread. Reference-counted: the
// creator holds the first reference and releases it after the download.
class CBindStatusCallback final : public IBindStatusCallback, public IHttpNegotiate {
public:
    // activity: grows with every sign of bytes arriving; read by other
    // threads without a lock. hStopEvent: signalled = abort the transfer.
    CBindStatusCallback(std::atomic<LONG>& activity, HANDLE hStopEvent) noexcept;
    CBindStatusCallback(const CBindStatusCallback&) = delete;
    CBindStatusCallback& operator=(const CBindStatusCallback&) = delete;

    // Any thread: aborts the binding in progress, if there is one. A stalled
    // transfer gives no callbacks, so only this ends it.
    void Abort() noexcept;

    // After the download call has returned, worker thread only.
    DWORD GetResponseCode() const noexcept { return m_dwResponseCode; }
    // The body length the server announced, or -1 when it announced none or
    // the body is encoded (then the file on disk holds the decoded bytes).
    int64_t GetAnnouncedLength() const noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD dwReserved, IBinding* pib) noexcept override;
    STDMETHODIMP GetPriority(LONG* pnPriority) noexcept override;
    STDMETHODIMP OnLowResource(DWORD reserved) noexcept override;
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                            LPCWSTR szStatusText) noexcept override;
    STDMETHODIMP OnStopBinding(HRESULT hresult, LPCWSTR szError) noexcept override;
    STDMETHODIMP GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) noexcept override;
    STDMETHODIMP OnDataAvailable(DWORD grfBSCF, DWORD dwSize, FORMATETC* pformatetc,
                                 STGMEDIUM* pstgmed) noexcept override;
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* punk) noexcept override;

    // IHttpNegotiate
    STDMETHODIMP BeginningTransaction(LPCWSTR szURL, LPCWSTR szHeaders, DWORD dwReserved,
                                      LPWSTR* pszAdditionalHeaders) noexcept override;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR szRequestHeaders,
                            LPWSTR* pszAdditionalRequestHeaders) noexcept override;

private:
    ~CBindStatusCallback();
    bool StopRequested() const noexcept;
    void SetBinding(IBinding* pib) noexcept;

    std::atomic<ULONG> m_cRef{1};
    std::atomic<LONG>& m_nActivity;
    HANDLE m_hStopEvent;

    std::mutex m_bindingLock; // guards m_pBinding against Abort from another thread
    IBinding* m_pBinding = nullptr;

    DWORD m_dwResponseCode = 0;
    int64_t m_nContentLength = -1; // from the response headers
    ULONG m_ulProgressMax = 0;     // from BEGINDOWNLOADDATA
    bool m_bEncoded = false;       // Content-Encoding other than identity
};

// Reads the value of one header ("Content-Length") from raw response
// headers (lines separated by CR LF); empty when the header is missing.
// The name is matched without regard to case. Any thread.
std::wstring FindResponseHeader(LPCWSTR szHeaders, LPCWSTR szName);
// A Content-Length value as a number: -1 unless it is plain decimal digits
// that fit 63 bits. Any thread.
int64_t ParseContentLength(const std::wstring& value);
