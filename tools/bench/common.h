#pragma once
// What the benchmark's programs share: starting a child from the words after
// "--", and a millisecond clock.

#include "quote_argument.h"

#include <string>
#include <vector>

#include <windows.h>

namespace bench {

inline bool StartChild(int first, int argc, wchar_t** argv, PROCESS_INFORMATION* process) {
    std::wstring line;
    for (int i = first; i < argc; ++i) {
        if (i > first) {
            line += L' ';
        }
        line += QuoteArgument(argv[i]);
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    return ::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, process) != FALSE;
}

class CClock {
public:
    CClock() {
        ::QueryPerformanceFrequency(&m_frequency);
        ::QueryPerformanceCounter(&m_start);
    }
    double Ms() const {
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - m_start.QuadPart) * 1000.0 /
               static_cast<double>(m_frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_frequency{};
    LARGE_INTEGER m_start{};
};

} // namespace bench
