#pragma once

#include "base/unique_handle.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <windows.h>
#include <urlmon.h>

// What a transfer's callback and its worker share. Either may end first: a
// binding that never confirms its abort keeps its callback, and with it this,
// alive after the worker is gone. Any thread.
struct TransferSignals {
    // Grows with every sign of bytes arriving; read by other threads without a lock.
    std::atomic<LONG> nActivity{0};
};

// The status callback of one asynchronous URL moniker download into a file.
// It reads the body as it arrives and writes it to the file it was given,
// watches what the moniker does not report honestly under Wine (the HTTP
// status, the announced length), counts every sign of bytes arriving for the
// progress window's watchdog, and refuses a body larger than its cap.
//
// Every call, the moniker's and the owner's, happens on the one thread that
// started the binding (the worker), which pumps its messages until the binding
// has stopped; only AddRef and Release may come from elsewhere. The binding
// is therefore only ever touched by that thread: an abort never meets the
// moniker's own teardown of it. Reference-counted: the creator holds the
// first reference.
class CBindStatusCallback final : public IBindStatusCallback, public IHttpNegotiate {
public:
    // file: where the body goes (owned from here on). maxBytes: the most
    // bytes of body it takes, announced or not; maxUnannouncedBytes: the most
    // a body without an announced length takes. A body that announces more
    // than maxBytes is refused at once, one that sends more than it
    // announced before the first excess byte is written.
    CBindStatusCallback(std::shared_ptr<TransferSignals> signals, HANDLE file, int64_t maxBytes,
                        int64_t maxUnannouncedBytes) noexcept;
    CBindStatusCallback(const CBindStatusCallback&) = delete;
    CBindStatusCallback& operator=(const CBindStatusCallback&) = delete;

    // Ends the binding in progress, if there is one and it has not stopped;
    // once only. A stalled transfer gives no callbacks, so only this ends it.
    void Abort() noexcept;
    // Closes the file: after this the callback writes nothing, and whatever
    // the binding still reports (after an abort it never confirmed) is refused.
    void CloseFile() noexcept;

    // OnStopBinding has come: the binding is over and released.
    bool Stopped() const noexcept { return m_bStopped; }
    // The binding's own result, once Stopped.
    HRESULT StopResult() const noexcept { return m_hrStop; }
    // The body was refused: larger than its cap, behind too many redirects,
    // or a write failed.
    bool Refused() const noexcept { return m_bRefused; }
    int64_t BytesWritten() const noexcept { return m_nWritten; }
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
    // False once the body is refused: it announced more than the cap.
    bool AnnouncedLengthFits() noexcept;
    // Reads what the stream holds now into the file; false when the body is refused.
    bool DrainStream(IStream* stream) noexcept;

    std::atomic<ULONG> m_cRef{1};
    std::shared_ptr<TransferSignals> m_pSignals;
    base::unique_file m_hFile;
    int64_t m_nMaxBytes;
    int64_t m_nMaxUnannouncedBytes;

    IBinding* m_pBinding = nullptr; // from OnStartBinding to OnStopBinding
    bool m_bAborted = false;
    bool m_bStopped = false;
    bool m_bRefused = false;
    // Redirects followed so far; a body behind more than kMostRedirects is
    // refused, as browsers refuse it.
    static constexpr int kMostRedirects = 10;
    int m_nRedirects = 0;
    HRESULT m_hrStop = E_PENDING;
    int64_t m_nWritten = 0;

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
