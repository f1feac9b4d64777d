// Decoding throughput of CContentDecoder on one encoded file held in memory,
// fed 64 KiB at a time as a transfer's reads bring it: the first pass
// digests what it decodes, the timed passes only count it.
// usage: content_bench.exe gzip|deflate PATH [RUNS]   (content_bench.sh beside it makes the files and times gzip -d)

#include "digest/md5.h"
#include "download/content_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

namespace {

class CCountingSink : public CContentDecoder::CSink {
public:
    bool Write(const unsigned char* data, size_t size) noexcept override {
        if (m_pDigest != nullptr) {
            m_pDigest->Update(data, size);
        }
        m_nBytes += size;
        return true;
    }

    CMD5Checksum* m_pDigest = nullptr;
    unsigned long long m_nBytes = 0;
};

bool ReadWholeFile(const wchar_t* path, std::vector<unsigned char>& bytes) {
    const HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    bool read = ::GetFileSizeEx(file, &size) != FALSE;
    if (read) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        for (size_t at = 0; read && at < bytes.size();) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 24));
            read = ::ReadFile(file, bytes.data() + at, want, &got, nullptr) != FALSE && got > 0;
            at += got;
        }
    }
    ::CloseHandle(file);
    return read;
}

CContentDecoder::Result Decode(CContentDecoder::Format format, const std::vector<unsigned char>& body,
                               CCountingSink& sink) {
    CContentDecoder decoder(format);
    CContentDecoder::Result result = CContentDecoder::DECODE_NO_MEMORY;
    for (size_t at = 0; at < body.size(); at += 65536) {
        result = decoder.Feed(body.data() + at, std::min<size_t>(65536, body.size() - at), sink);
    }
    return result;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || (std::wcscmp(argv[1], L"gzip") != 0 && std::wcscmp(argv[1], L"deflate") != 0)) {
        std::fprintf(stderr, "usage: content_bench.exe gzip|deflate PATH [RUNS]\n");
        return 2;
    }
    const auto format =
        std::wcscmp(argv[1], L"gzip") == 0 ? CContentDecoder::FORMAT_GZIP : CContentDecoder::FORMAT_DEFLATE;
    const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;
    std::vector<unsigned char> body;
    if (!ReadWholeFile(argv[2], body)) {
        std::fprintf(stderr, "content_bench: cannot read %ls\n", argv[2]);
        return 1;
    }

    CMD5Checksum digest;
    CCountingSink check;
    check.m_pDigest = &digest;
    if (Decode(format, body, check) != CContentDecoder::DECODE_DONE) {
        std::fprintf(stderr, "content_bench: %ls does not decode\n", argv[2]);
        return 1;
    }

    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> rates;
    for (int run = 1; run <= runs; ++run) {
        CCountingSink sink;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        ::QueryPerformanceCounter(&start);
        const CContentDecoder::Result result = Decode(format, body, sink);
        ::QueryPerformanceCounter(&end);
        const double seconds =
            static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
        if (result != CContentDecoder::DECODE_DONE || sink.m_nBytes != check.m_nBytes) {
            std::fprintf(stderr, "content_bench: run %d decoded differently\n", run);
            return 1;
        }
        rates.push_back(static_cast<double>(sink.m_nBytes) / 1e6 / seconds);
        std::printf("CContentDecoder run %d: %.3f s, %.1f MB/s out\n", run, seconds, rates.back());
    }
    std::sort(rates.begin(), rates.end());
    std::printf("CContentDecoder %s %.1f MB out of %.1f MB, median %.1f MB/s out (min %.1f, max %.1f)\n",
                digest.Final().c_str(), static_cast<double>(check.m_nBytes) / 1e6,
                static_cast<double>(body.size()) / 1e6, rates[rates.size() / 2], rates.front(), rates.back());
    return 0;
}
