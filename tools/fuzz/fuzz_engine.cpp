#include "fuzz_engine.h"

#include "guarded_buffer.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <exception>

#include <windows.h>

namespace fuzz {

namespace {

// Values that parsers get wrong: the ends of the ranges, the markup and
// separators of the formats, UTF-8 lead and continuation bytes.
const uint8_t kInterestingBytes[] = {0x00, 0x01, 0x09, 0x0A, 0x0D, 0x20, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2,
                                     0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFE, 0xFF, '"',  '\'', '<',
                                     '>',  '&',  ':',  '\\', '/',  '%',  '-',  '=',  '#',  ';',  '?',  '!',
                                     '[',  ']',  '0',  '1',  '7',  '9',  'A',  'F',  'G',  'a',  'f',  'x'};

// The same for UTF-16: noncharacters, the byte-order mark, lone surrogates,
// letters whose case mapping is unusual, blanks that are not U+0020, the
// superscript digits of COM¹, and look-alikes of the separators.
const uint16_t kInterestingChars[] = {0xFFFF, 0xFFFE, 0xFEFF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0x00A0,
                                      0x0085, 0x2028, 0x3000, 0x00B9, 0x00B2, 0x0130, 0x0131, 0x017F,
                                      0x212A, 0xFF1A, 0xFF0F, 0xFF3C, 0xFF02, 0x0100, 0x4E2D, 0x8000};

// UTF-8 sequences a reader of UTF-8 should refuse or handle: the
// byte-order mark, U+FFFF, a lone surrogate, overlong forms, beyond U+10FFFF,
// a sequence cut short.
const char* const kInterestingUtf8[] = {"\xEF\xBB\xBF",     "\xEF\xBF\xBF",     "\xEF\xBF\xBE", "\xED\xA0\x80",
                                        "\xED\xBF\xBF",     "\xC0\x80",         "\xC0\xBC",     "\xE0\x80\xBC",
                                        "\xF4\x90\x80\x80", "\xF0\x9F\x98\x80", "\xE4\xB8",     "\xC3\xA9"};

// Numbers at and beyond the limits of every field width these formats use.
const char* const kNumbers[] = {"0",
                                "-0",
                                "1",
                                "-1",
                                "+5",
                                " 7",
                                "2147483647",
                                "2147483648",
                                "-2147483648",
                                "-2147483649",
                                "4294967295",
                                "4294967296",
                                "18446744073709551616",
                                "-99999999999999999999999999",
                                "0x10",
                                "00",
                                "FF",
                                "1D",
                                "000000",
                                "FFFFFF",
                                "1000000",
                                "00000000",
                                "7FFFFFFF",
                                "80000000",
                                "FFFFFFFF",
                                "ffffff",
                                "1e9"};

bool IsNumberUnit(uint32_t u) {
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f') || u == '-' || u == '+';
}

double Seconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What the crash report and the watchdog print: set before each input runs.
std::atomic<const char*> g_target{nullptr};
std::atomic<uint64_t> g_index{0};
std::atomic<const std::string*> g_input{nullptr};
std::atomic<uint64_t> g_started{0}; // inputs begun, so the watchdog sees progress
std::atomic<bool> g_running{false};
unsigned g_hangSeconds = 60;

// The report is written with the stack a stack overflow leaves: no stdio,
// no allocation, only this static buffer and WriteFile.
char g_report[4096];
size_t g_reportLength = 0;

// The stack the inputs run on: the lowest address a thread may use (above
// the lowest page of its reservation, which is never accessible), and a
// handle the watchdog waits on, so that a thread that dies without a report
// is seen and reported.
constexpr ULONG kStackGuarantee = 64 * 1024;
const char* g_targetStackFloor = nullptr;
HANDLE g_targetThread = nullptr;

void ReportText(const char* text) {
    while (*text != '\0' && g_reportLength < sizeof(g_report)) {
        g_report[g_reportLength++] = *text++;
    }
}

void ReportNumber(uint64_t value, unsigned base) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0 && g_reportLength < sizeof(g_report)) {
        g_report[g_reportLength++] = digits[--count];
    }
}

void WriteReportAndEnd(const char* what, uint64_t code, unsigned exitCode) {
    g_reportLength = 0;
    ReportText("\nfuzz: ");
    ReportText(what);
    if (code != 0) {
        ReportText(" 0x");
        ReportNumber(code, 16);
    }
    const char* target = g_target.load();
    const std::string* input = g_input.load();
    if (target != nullptr && input != nullptr) {
        ReportText(" in target ");
        ReportText(target);
        ReportText(" at input ");
        ReportNumber(g_index.load(), 10);
        ReportText("\n  input (");
        ReportNumber(input->size(), 10);
        ReportText(" bytes, at most 1024 shown):");
        const size_t shown = std::min<size_t>(input->size(), 1024);
        for (size_t i = 0; i < shown; ++i) {
            if (i % 64 == 0) {
                ReportText("\n    ");
            }
            const auto byte = static_cast<unsigned char>((*input)[i]);
            const char hex[3] = {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15], '\0'};
            ReportText(hex);
        }
    } else {
        ReportText(" outside any input");
    }
    ReportText("\n");
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), g_report, static_cast<DWORD>(g_reportLength), &written, nullptr);
    // Nothing of the process can be trusted any more: no destructors, no
    // atexit handlers, which might crash again and hide the exit code.
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    std::fflush(stdout);
    WriteReportAndEnd("CRASH: exception", info->ExceptionRecord->ExceptionCode, kCrashExitCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Only stack overflows: every other exception may be caught further up (C++
// exceptions travel as SEH exceptions on x86-64), and is left to the filter
// when it is not. Under Wine a process whose stack overflowed can otherwise
// end with exit code 0.
LONG WINAPI OnVectoredException(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        // How much stack the handler was given: the guarantee at work, or
        // luck when it is small.
        volatile char here = 0;
        const char* floor = g_targetStackFloor;
        const uint64_t left = floor != nullptr && &here > floor ? static_cast<uint64_t>(&here - floor) : 0;
        g_reportLength = 0;
        ReportText("\nfuzz: stack left to the overflow's handler: ");
        ReportNumber(left, 10);
        ReportText(" bytes");
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), g_report, static_cast<DWORD>(g_reportLength), &written, nullptr);
        WriteReportAndEnd("CRASH: stack overflow", EXCEPTION_STACK_OVERFLOW, kCrashExitCode);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Makes the stack guarantee hold on the calling thread under Wine too.
// Wine commits a thread's whole stack at its creation and guards only its
// second-lowest page. An overflow is therefore raised with less than a page
// left, whatever SetThreadStackGuarantee asked for: often too little for the
// exception's own record (about 1.5 KB on 32-bit, 2.5 KB on 64-bit), and
// then Wine ends the thread at once, without calling any handler, while the
// process lives on. One guard page of our own just above the guaranteed
// bytes is moved down page by page as the stack grows, as on Windows, and
// the overflow is raised with the guarantee still free below it. On Windows
// that page is not committed yet and is left alone: the guarantee holds
// there already.
void GuardStackAboveGuarantee() {
    volatile char here = 0;
    MEMORY_BASIC_INFORMATION region = {};
    if (::VirtualQuery(const_cast<char*>(&here), &region, sizeof(region)) == 0) {
        return;
    }
    SYSTEM_INFO system = {};
    ::GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    auto* base = static_cast<char*>(region.AllocationBase);
    g_targetStackFloor = base + page;
    // The lowest page, Wine's guard page, then the guarantee.
    char* guard = base + 2 * page + (kStackGuarantee + page - 1) / page * page;
    if (guard + 16 * page > &here) {
        return; // a stack too small to spare it
    }
    MEMORY_BASIC_INFORMATION at = {};
    DWORD previous = 0;
    if (::VirtualQuery(guard, &at, sizeof(at)) != 0 && at.State == MEM_COMMIT && at.Protect == PAGE_READWRITE) {
        ::VirtualProtect(guard, page, PAGE_READWRITE | PAGE_GUARD, &previous);
    }
}

void OnAbort(int) {
    std::fflush(stdout);
    WriteReportAndEnd("CRASH: abort()", 0, kCrashExitCode);
}

DWORD WINAPI Watchdog(void*) {
    uint64_t seen = g_started.load();
    ULONGLONG since = ::GetTickCount64();
    for (;;) {
        ::Sleep(250);
        // Wine ends a thread whose stack overflowed past all help without a
        // word; the process would then wait here for the hang limit.
        if (g_targetThread != nullptr && ::WaitForSingleObject(g_targetThread, 0) == WAIT_OBJECT_0) {
            std::fflush(stdout);
            WriteReportAndEnd("CRASH: the thread running the inputs ended without a report", 0, kCrashExitCode);
        }
        const uint64_t now = g_started.load();
        if (now != seen || !g_running.load()) {
            seen = now;
            since = ::GetTickCount64();
        } else if (::GetTickCount64() - since > g_hangSeconds * 1000ull) {
            std::fflush(stdout);
            WriteReportAndEnd("HANG: no progress for the watchdog's limit", 0, kHangExitCode);
        }
    }
}

} // namespace

uint64_t Fnv1a(const void* data, size_t size, uint64_t hash) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    }
    return hash;
}

std::string WideBytes(const std::wstring& text) {
    static_assert(sizeof(wchar_t) == 2, "UTF-16 code units");
    std::string bytes(text.size() * 2, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>((text[i] >> 8) & 0xFF);
    }
    return bytes;
}

std::wstring BytesWide(const std::string& bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return text;
}

std::string HexDump(const std::string& input, size_t maxBytes) {
    std::string text = std::to_string(input.size()) + " bytes";
    const size_t shown = std::min(input.size(), maxBytes);
    if (shown < input.size()) {
        text += ", the first " + std::to_string(shown);
    }
    text += ":";
    for (size_t i = 0; i < shown; ++i) {
        if (i % 64 == 0) {
            text += "\n    ";
        }
        const auto byte = static_cast<unsigned char>(input[i]);
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

CMutator::CMutator(const CFuzzTarget& target, uint64_t seed)
    : m_target(target), m_nUnit(target.UnitBytes()), m_corpus(target.Corpus()), m_tokens(target.Tokens()),
      m_random(seed) {
    if (m_corpus.empty()) {
        m_corpus.emplace_back();
    }
}

uint32_t CMutator::GetUnit(const std::string& input, uint32_t index) const {
    const size_t at = static_cast<size_t>(index) * m_nUnit;
    uint32_t value = static_cast<unsigned char>(input[at]);
    if (m_nUnit == 2) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(input[at + 1])) << 8;
    }
    return value;
}

void CMutator::SetUnit(std::string& input, uint32_t index, uint32_t value) const {
    const size_t at = static_cast<size_t>(index) * m_nUnit;
    input[at] = static_cast<char>(value & 0xFF);
    if (m_nUnit == 2) {
        input[at + 1] = static_cast<char>((value >> 8) & 0xFF);
    }
}

std::string CMutator::UnitText(uint32_t value) const {
    std::string piece(m_nUnit, '\0');
    SetUnit(piece, 0, value);
    return piece;
}

std::string CMutator::Encode(const char* ascii) const {
    std::string piece;
    for (const char* p = ascii; *p != '\0'; ++p) {
        piece += UnitText(static_cast<unsigned char>(*p));
    }
    return piece;
}

uint32_t CMutator::InterestingUnit() {
    const uint32_t bytes = sizeof(kInterestingBytes);
    if (m_nUnit == 2) {
        const uint32_t chars = sizeof(kInterestingChars) / sizeof(kInterestingChars[0]);
        const uint32_t pick = m_random.Below(bytes + chars);
        // The bytes from 0x80 up are Latin-1 letters in UTF-16: keep them,
        // they are characters too.
        return pick < bytes ? kInterestingBytes[pick] : kInterestingChars[pick - bytes];
    }
    return kInterestingBytes[m_random.Below(bytes)];
}

std::string CMutator::RandomUnits(uint32_t count) {
    std::string piece;
    for (uint32_t i = 0; i < count; ++i) {
        if (m_random.OneIn(2)) {
            piece += UnitText(InterestingUnit());
        } else {
            piece += UnitText(m_random.Below(m_nUnit == 2 ? 0x10000 : 0x100));
        }
    }
    return piece;
}

void CMutator::InsertAt(std::string& input, uint32_t unit, const std::string& piece) const {
    input.insert(static_cast<size_t>(unit) * m_nUnit, piece);
}

void CMutator::Repeat(std::string& input) {
    const uint32_t n = Units(input);
    std::string piece;
    uint32_t from = 0;
    if (n == 0) {
        piece = UnitText(InterestingUnit());
    } else {
        const uint32_t length = 1 + m_random.Below(std::min<uint32_t>(n, 8));
        from = m_random.Below(n - length + 1);
        piece = input.substr(static_cast<size_t>(from) * m_nUnit, static_cast<size_t>(length) * m_nUnit);
    }
    const uint32_t pieceUnits = Units(piece);
    // Now and then a run of 30,000 units and more: the length at which
    // fixed buffers and recursive walks give out.
    const uint32_t wanted = m_random.OneIn(24) ? 30000 + m_random.Below(8000) : pieceUnits * (2 + m_random.Below(63));
    std::string run;
    run.reserve(static_cast<size_t>(wanted) * m_nUnit + piece.size());
    while (Units(run) < wanted) {
        run += piece;
    }
    InsertAt(input, from, run);
}

void CMutator::ReplaceNumber(std::string& input) {
    const std::string number = Encode(kNumbers[m_random.Below(sizeof(kNumbers) / sizeof(kNumbers[0]))]);
    const uint32_t n = Units(input);
    if (n == 0 || m_random.OneIn(3)) {
        InsertAt(input, m_random.Below(n + 1), number);
        return;
    }
    uint32_t begin = m_random.Below(n);
    uint32_t end = begin;
    while (end < n && IsNumberUnit(GetUnit(input, end))) {
        ++end;
    }
    while (begin > 0 && IsNumberUnit(GetUnit(input, begin - 1))) {
        --begin;
    }
    input.replace(static_cast<size_t>(begin) * m_nUnit, static_cast<size_t>(end - begin) * m_nUnit, number);
}

void CMutator::MutateOnce(std::string& input) {
    const uint32_t n = Units(input);
    switch (m_random.Below(12)) {
    case 0: // the target's own; else a bit flip
        if (m_target.MutateByFormat(input, m_random)) {
            break;
        }
        [[fallthrough]];
    case 1: // bit flip
        if (input.empty()) {
            input = RandomUnits(1);
        } else {
            const uint32_t at = m_random.Below(static_cast<uint32_t>(input.size()));
            input[at] = static_cast<char>(input[at] ^ (1 << m_random.Below(8)));
        }
        break;
    case 2: // one unit replaced by an interesting or a random value
        if (n == 0) {
            input = RandomUnits(1);
        } else {
            const uint32_t at = m_random.Below(n);
            SetUnit(input, at, InterestingUnit());
        }
        break;
    case 3: { // a few units inserted, or an interesting UTF-8 sequence
        const uint32_t at = m_random.Below(n + 1);
        if (m_nUnit == 1 && m_random.OneIn(3)) {
            InsertAt(input, at,
                     kInterestingUtf8[m_random.Below(sizeof(kInterestingUtf8) / sizeof(kInterestingUtf8[0]))]);
        } else {
            InsertAt(input, at, RandomUnits(1 + m_random.Below(8)));
        }
        break;
    }
    case 4: { // a range deleted: usually short, now and then most of the input
        if (n == 0) {
            break;
        }
        const uint32_t length = 1 + m_random.Below(m_random.OneIn(8) ? n : std::min<uint32_t>(n, 16));
        const uint32_t from = m_random.Below(n - length + 1);
        input.erase(static_cast<size_t>(from) * m_nUnit, static_cast<size_t>(length) * m_nUnit);
        break;
    }
    case 5: { // a range copied elsewhere
        if (n == 0) {
            break;
        }
        const uint32_t length = 1 + m_random.Below(std::min<uint32_t>(n, 64));
        const uint32_t from = m_random.Below(n - length + 1);
        const std::string piece =
            input.substr(static_cast<size_t>(from) * m_nUnit, static_cast<size_t>(length) * m_nUnit);
        InsertAt(input, m_random.Below(n + 1), piece);
        break;
    }
    case 6: { // the head of this input and the tail of a corpus entry
        const std::string& other = m_corpus[m_random.Below(static_cast<uint32_t>(m_corpus.size()))];
        const uint32_t cut = m_random.Below(n + 1);
        const uint32_t otherCut = m_random.Below(Units(other) + 1);
        input =
            input.substr(0, static_cast<size_t>(cut) * m_nUnit) + other.substr(static_cast<size_t>(otherCut) * m_nUnit);
        break;
    }
    case 7: // cut short
        if (n > 0) {
            input.resize(static_cast<size_t>(m_random.Below(n)) * m_nUnit);
        }
        break;
    case 8:
        Repeat(input);
        break;
    case 9:
        ReplaceNumber(input);
        break;
    default: { // a piece of the format, inserted or written over what stands there
        if (m_tokens.empty()) {
            break;
        }
        const std::string& token = m_tokens[m_random.Below(static_cast<uint32_t>(m_tokens.size()))];
        const uint32_t at = m_random.Below(n + 1);
        if (m_random.OneIn(3)) {
            const size_t from = static_cast<size_t>(at) * m_nUnit;
            input.replace(from, std::min(token.size(), input.size() - from), token);
        } else {
            InsertAt(input, at, token);
        }
        break;
    }
    }
}

std::string CMutator::Next() {
    const uint64_t index = m_nMade++;
    if (index < m_corpus.size()) {
        return m_corpus[static_cast<size_t>(index)];
    }
    std::string input = !m_recent.empty() && m_random.OneIn(4)
                            ? m_recent[m_random.Below(static_cast<uint32_t>(m_recent.size()))]
                            : m_corpus[m_random.Below(static_cast<uint32_t>(m_corpus.size()))];
    const uint32_t count = 1 + m_random.Below(m_random.OneIn(8) ? 16 : 4);
    for (uint32_t i = 0; i <= count; ++i) {
        // A third of the inputs end with the target's own mutation, which
        // mostly leaves them well formed enough to reach the reader's later
        // checks; the generic ones alone rarely get past the first.
        if (i < count) {
            MutateOnce(input);
        } else if (!m_random.OneIn(3) || !m_target.MutateByFormat(input, m_random)) {
            break;
        }
        if (Units(input) > kMaxInputUnits) {
            input.resize(static_cast<size_t>(kMaxInputUnits) * m_nUnit);
        }
    }
    // Mutants of mutants reach further from the corpus; long ones are left
    // out, or most later inputs would be long and the run slow.
    constexpr size_t kRecent = 32;
    if (Units(input) <= 4096) {
        if (m_recent.size() < kRecent) {
            m_recent.push_back(input);
        } else {
            m_recent[m_random.Below(kRecent)] = input;
        }
    }
    return input;
}

uint64_t TargetSeed(uint64_t seed, const char* name) {
    CRandom mix(seed ^ Fnv1a(name, std::strlen(name)));
    return mix.Next();
}

void InstallCrashReport(unsigned hangSeconds) {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    g_hangSeconds = hangSeconds;
    // Room for the vectored handler to run after a stack overflow, on the
    // thread that runs the inputs (this one).
    ULONG guarantee = kStackGuarantee;
    ::SetThreadStackGuarantee(&guarantee);
    GuardStackAboveGuarantee();
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &g_targetThread, SYNCHRONIZE,
                      FALSE, 0);
    ::SetUnhandledExceptionFilter(OnUnhandledException);
    ::AddVectoredExceptionHandler(1, OnVectoredException);
    std::signal(SIGABRT, OnAbort);
    const HANDLE thread = ::CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (thread != nullptr) {
        ::CloseHandle(thread);
    }
}

TargetReport RunTarget(CFuzzTarget& target, const RunOptions& options) {
    InstallCrashReport(60);
    TargetReport report;
    report.name = target.Name();
    report.inputDigest = Fnv1a(nullptr, 0);
    report.resultDigest = report.inputDigest;
    CGuardedBuffer guard(kGuardedCapacity);
    if (!guard.IsValid()) {
        std::fprintf(options.log, "fuzz: %s: no guarded buffer (VirtualAlloc failed)\n", target.Name());
        report.failures = 1;
        return report;
    }

    CMutator mutator(target, TargetSeed(options.seed, target.Name()));
    const double start = Seconds();
    for (uint64_t index = 0; index < options.inputs; ++index) {
        if (options.timeLimitSeconds > 0 && index % 64 == 0 && Seconds() - start >= options.timeLimitSeconds) {
            break;
        }
        const std::string input = mutator.Next();
        const uint64_t size = input.size();
        unsigned char sizeBytes[8];
        for (int b = 0; b < 8; ++b) {
            sizeBytes[b] = static_cast<unsigned char>(size >> (8 * b));
        }
        report.inputDigest = Fnv1a(input.data(), input.size(), Fnv1a(sizeBytes, sizeof(sizeBytes), report.inputDigest));

        g_target = target.Name();
        g_index = index;
        g_input = &input;
        ++g_started;
        g_running = true;
        std::string first;
        std::string second;
        Verdict verdict;
        std::string failure;
        try {
            first = target.Run(input, guard, verdict);
            Verdict ignored;
            second = target.Run(input, guard, ignored);
        } catch (const std::exception& e) {
            failure = std::string("a C++ exception escaped the reader: ") + e.what();
        } catch (...) {
            failure = "a C++ exception of unknown type escaped the reader";
        }
        g_running = false;
        g_input = nullptr;
        if (failure.empty() && first != second) {
            failure = "two runs on the same input gave different results";
        } else if (failure.empty() && !verdict.problem.empty()) {
            failure = verdict.problem;
        }

        ++report.inputs;
        if (verdict.accepted) {
            ++report.accepted;
        }
        report.resultDigest = Fnv1a(first.data(), first.size(), report.resultDigest);
        if (failure.empty()) {
            continue;
        }
        ++report.failures;
        if (report.failures <= options.maxReports) {
            std::fprintf(options.log, "fuzz: FAILED: target %s input %" PRIu64 ": %s\n  input %s\n", target.Name(),
                         index, failure.c_str(), HexDump(input, 512).c_str());
            if (first != second) {
                std::fprintf(options.log, "  first result %s\n  second result %s\n", HexDump(first, 256).c_str(),
                             HexDump(second, 256).c_str());
            }
            std::fflush(options.log);
        }
    }
    report.seconds = Seconds() - start;
    g_target = nullptr;
    return report;
}

} // namespace fuzz
