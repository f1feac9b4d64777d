// trust_cert: makes the current user trust a certificate authority, so that
// HTTPS tests can serve certificates it signed (tools/tls/make_test_certs.py).
//
// usage: trust_cert.exe FILE.der
//
// Adds the DER certificate in FILE.der to the current user's "Root" system
// store, replacing the same certificate (same issuer and serial number) when
// the store holds it already. Prints "trusted <subject>" and exits 0; on any
// failure prints what failed and exits 1. Real Windows asks the user before a
// root certificate is added; Wine adds it without a prompt.

#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

namespace {

// Certificates are a few kilobytes; a larger file is not one.
constexpr DWORD kMaxCertificateBytes = 1024 * 1024;

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>* data) {
    HANDLE file =
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        std::fwprintf(stderr, L"trust_cert: cannot open %ls (error %lu)\n", path, error);
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) != FALSE && size.QuadPart > 0 && size.QuadPart <= kMaxCertificateBytes;
    if (ok) {
        data->resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = ::ReadFile(file, data->data(), static_cast<DWORD>(data->size()), &read, nullptr) != FALSE &&
             read == data->size();
    }
    ::CloseHandle(file);
    if (!ok) {
        std::fwprintf(stderr, L"trust_cert: cannot read %ls, or it is empty or too large\n", path);
    }
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: trust_cert.exe FILE.der\n");
        return 1;
    }
    std::vector<BYTE> der;
    if (!ReadWholeFile(argv[1], &der)) {
        return 1;
    }
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) {
        const DWORD error = ::GetLastError();
        std::fwprintf(stderr, L"trust_cert: cannot open the current user's Root store (error 0x%08lX)\n", error);
        return 1;
    }
    PCCERT_CONTEXT added = nullptr;
    if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
        const DWORD error = ::GetLastError();
        std::fwprintf(stderr, L"trust_cert: cannot add %ls to the Root store (error 0x%08lX)\n", argv[1], error);
        ::CertCloseStore(store, 0);
        return 1;
    }
    wchar_t subject[512] = {};
    ::CertGetNameStringW(added, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 512);
    std::wprintf(L"trusted %ls\n", subject);
    ::CertFreeCertificateContext(added);
    ::CertCloseStore(store, 0);
    return 0;
}
