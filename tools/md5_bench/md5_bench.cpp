// Digest throughput of FileDigest on one file, best of several runs.
// usage: md5_bench.exe PATH [RUNS]   (md5_bench.sh beside it prepares the file and compares with md5sum)

#include "digest/md5.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: md5_bench.exe PATH [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 3;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(argv[1], GetFileExInfoStandard, &data)) {
        std::fprintf(stderr, "md5_bench: cannot read %ls\n", argv[1]);
        return 1;
    }
    const double bytes = static_cast<double>(static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0.0;
    std::string digest;
    for (int run = 0; run < runs; ++run) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        digest = FileDigest(argv[1]);
        QueryPerformanceCounter(&end);
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        const double rate = bytes / 1e6 / seconds;
        std::printf("FileDigest run %d: %.3f s, %.1f MB/s\n", run + 1, seconds, rate);
        best = std::max(best, rate);
    }
    std::printf("FileDigest %s best %.1f MB/s\n", digest.c_str(), best);
    return digest.empty() ? 1 : 0;
}
