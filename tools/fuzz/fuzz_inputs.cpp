// Deterministic mutation fuzzing of the readers of untrusted input: the IPC
// parameter text, the command line, FileList.xml, the channel's block and
// bodies sent with a content encoding.
// usage: fuzz_inputs.exe [--inputs N] [--seed N] [--target paras|cmdline|filelist|block|decoder]
//                        [--time-limit SEC] [--hang-limit SEC] [--probe overread|stack|vanish|hang]
//   --inputs counts per target (default 250000: 1.25 million over the five);
//   --time-limit, also per target, ends a target early; --hang-limit (60 s)
//   is how long one input may take. --probe runs a reader that reads past
//   its input, overflows the stack, ends its thread or never returns, to
//   show that the report of each works.
// Exit code 0 only when no input failed and every target ran at least one.

#include "fuzz_engine.h"
#include "fuzz_targets.h"

#include "guarded_buffer.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// Deeper with every call, for as long as the depth lasts.
int Recurse(const volatile char* previous, uint64_t depth) {
    volatile char frame[1024];
    frame[0] = previous[0];
    frame[1] = 0;
    return depth == 0 ? frame[0] : Recurse(frame, depth - 1) + frame[1];
}

// A reader with the fault of its name: the byte after its input, which the
// guard page must turn into a crash; a recursion without end; the end of its
// thread, as Wine ends a thread it cannot raise an overflow on; or a loop.
class CProbeTarget : public fuzz::CFuzzTarget {
public:
    explicit CProbeTarget(std::wstring kind) : m_kind(std::move(kind)) {}
    const char* Name() const override { return "probe"; }
    uint32_t UnitBytes() const override { return 1; }
    std::vector<std::string> Corpus() const override { return {"read one byte too many"}; }
    std::vector<std::string> Tokens() const override { return {}; }
    std::string Run(const std::string& input, CGuardedBuffer& guard, fuzz::Verdict&) override {
        const auto* placed = static_cast<const volatile char*>(guard.Place(input.data(), input.size()));
        if (m_kind == L"stack") {
            return std::to_string(Recurse(placed, UINT64_MAX));
        }
        if (m_kind == L"vanish") {
            ::ExitThread(1);
        }
        while (m_kind == L"hang") {
            ::Sleep(100);
        }
        return std::string(1, placed[input.size()]);
    }

private:
    std::wstring m_kind;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: fuzz_inputs.exe [--inputs N] [--seed N] [--target paras|cmdline|filelist|block|decoder]\n"
                 "                       [--time-limit SEC] [--hang-limit SEC] [--probe overread|stack|vanish|hang]\n");
}

bool ReadNumber(const wchar_t* text, uint64_t& value) {
    wchar_t* end = nullptr;
    value = std::wcstoull(text, &end, 10);
    return *text != L'\0' && *end == L'\0';
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    fuzz::RunOptions options;
    options.inputs = 250000;
    std::wstring only;
    uint64_t hangSeconds = 60;
    std::wstring probe;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        uint64_t number = 0;
        if (arg == L"--probe" && hasValue &&
            (std::wcscmp(argv[i + 1], L"overread") == 0 || std::wcscmp(argv[i + 1], L"stack") == 0 ||
             std::wcscmp(argv[i + 1], L"vanish") == 0 || std::wcscmp(argv[i + 1], L"hang") == 0)) {
            probe = argv[++i];
        } else if (arg == L"--target" && hasValue) {
            only = argv[++i];
        } else if (arg == L"--inputs" && hasValue && ReadNumber(argv[++i], number)) {
            options.inputs = number;
        } else if (arg == L"--seed" && hasValue && ReadNumber(argv[++i], number)) {
            options.seed = number;
        } else if (arg == L"--time-limit" && hasValue && ReadNumber(argv[++i], number)) {
            options.timeLimitSeconds = static_cast<double>(number);
        } else if (arg == L"--hang-limit" && hasValue && ReadNumber(argv[++i], number) && number > 0) {
            hangSeconds = number;
        } else {
            Usage();
            return 2;
        }
    }
    fuzz::InstallCrashReport(static_cast<unsigned>(hangSeconds));

    std::vector<std::unique_ptr<fuzz::CFuzzTarget>> targets;
    if (!probe.empty()) {
        targets.push_back(std::make_unique<CProbeTarget>(probe));
    } else {
        for (auto& target : fuzz::MakeTargets()) {
            const std::string name = target->Name();
            if (only.empty() || only == std::wstring(name.begin(), name.end())) {
                targets.push_back(std::move(target));
            }
        }
    }
    if (targets.empty()) {
        std::fprintf(stderr, "fuzz_inputs: no target named %ls\n", only.c_str());
        Usage();
        return 2;
    }

#ifdef _WIN64
    const char* arch = "x86-64";
#else
    const char* arch = "i686";
#endif
    std::printf("fuzz_inputs: seed %" PRIu64 ", %" PRIu64 " inputs per target", options.seed, options.inputs);
    if (options.timeLimitSeconds > 0) {
        std::printf(" or %.0f s each", options.timeLimitSeconds);
    }
    std::printf(", %s build\n", arch);
    std::fflush(stdout);

    std::vector<fuzz::TargetReport> reports;
    for (auto& target : targets) {
        reports.push_back(fuzz::RunTarget(*target, options));
    }

    std::printf("%-10s %10s %9s %10s %9s %10s  %-16s  %-16s\n", "target", "inputs", "failures", "accepted", "seconds",
                "inputs/s", "input digest", "result digest");
    uint64_t inputs = 0;
    uint64_t failures = 0;
    uint64_t accepted = 0;
    double seconds = 0;
    bool everyTargetRan = true;
    for (const fuzz::TargetReport& report : reports) {
        std::printf("%-10s %10" PRIu64 " %9" PRIu64 " %10" PRIu64 " %9.2f %10.0f  %016" PRIx64 "  %016" PRIx64 "\n",
                    report.name.c_str(), report.inputs, report.failures, report.accepted, report.seconds,
                    report.seconds > 0 ? static_cast<double>(report.inputs) / report.seconds : 0.0, report.inputDigest,
                    report.resultDigest);
        inputs += report.inputs;
        failures += report.failures;
        accepted += report.accepted;
        seconds += report.seconds;
        everyTargetRan = everyTargetRan && report.inputs > 0;
    }
    std::printf("%-10s %10" PRIu64 " %9" PRIu64 " %10" PRIu64 " %9.2f %10.0f\n", "total", inputs, failures, accepted,
                seconds, seconds > 0 ? static_cast<double>(inputs) / seconds : 0.0);
    if (failures != 0 || !everyTargetRan) {
        std::printf("fuzz_inputs: FAILED: %s\n", failures != 0 ? "inputs failed" : "a target ran no input");
        return 1;
    }
    std::printf("fuzz_inputs: passed\n");
    return 0;
}
