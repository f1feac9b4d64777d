#include "fuzz_engine.h"
#include "fuzz_targets.h"

#include "guarded_buffer.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// The first inputs of each target with the default seed: the slice of
// scripts/fuzz's run that every test run repeats.
constexpr uint64_t kInputs = 20000;

std::unique_ptr<fuzz::CFuzzTarget> Target(const std::string& name) {
    for (auto& target : fuzz::MakeTargets()) {
        if (name == target->Name()) {
            return std::move(target);
        }
    }
    return nullptr;
}

// Failures are printed in full only where none are expected.
fuzz::TargetReport Fuzz(fuzz::CFuzzTarget& target, uint64_t inputs, double timeLimit = 0, unsigned maxReports = 3) {
    fuzz::RunOptions options;
    options.inputs = inputs;
    options.timeLimitSeconds = timeLimit;
    options.maxReports = maxReports;
    return fuzz::RunTarget(target, options);
}

// The digests are those of the x86-64 build, and the i686 build must make
// the very same inputs: a choice that depends on the width of size_t or
// long, or on the order in which arguments are evaluated, shows up here.
// A change to a corpus or a mutation changes them; the tool prints the new
// ones (fuzz_inputs.exe --inputs 20000).
void ExpectReaderHolds(const char* name, uint64_t inputDigest, uint64_t minAccepted) {
    const auto target = Target(name);
    ASSERT_NE(target, nullptr);
    const fuzz::TargetReport report = Fuzz(*target, kInputs);
    EXPECT_EQ(report.inputs, kInputs);
    EXPECT_EQ(report.failures, 0u);
    // Inputs that the reader found usable: without enough of them the
    // fuzzing would test only the first check of each reader.
    EXPECT_GE(report.accepted, minAccepted);
    EXPECT_EQ(report.inputDigest, inputDigest) << std::hex << "inputs digest 0x" << report.inputDigest;
    std::printf("%s: %llu inputs, %llu accepted, %.2f s\n", name, static_cast<unsigned long long>(report.inputs),
                static_cast<unsigned long long>(report.accepted), report.seconds);
}

} // namespace

TEST(FuzzReadersTest, ParasHelperUnpacksMutatedTextsSafelyAndAlike) {
    ExpectReaderHolds("paras", 0x07e8b874d44d008full, kInputs / 10);
}

TEST(FuzzReadersTest, CommandLineParsesMutatedLinesSafelyAndAlike) {
    ExpectReaderHolds("cmdline", 0xa228d7472c73f925ull, kInputs / 2);
}

TEST(FuzzReadersTest, FileListAcceptsOnlyListsThatStayInsideTheFolder) {
    ExpectReaderHolds("filelist", 0x11c71caa8a3c6432ull, kInputs / 50);
}

TEST(FuzzReadersTest, BlockReaderNeverReadsPastTheView) {
    ExpectReaderHolds("block", 0xd7174e98ba9bdb2aull, kInputs / 50);
}

// Whole and in pieces, as gzip and as deflate: the same bytes and result,
// never a read past the body or a write past the window's guard pages.
TEST(FuzzReadersTest, ContentDecoderDecodesMutatedBodiesSafelyAndAlike) {
    ExpectReaderHolds("decoder", 0x3699c27080ba1948ull, kInputs / 50);
}

namespace {

// A target of the engine's own tests: its reader is a function of the test's.
class CProbeTarget : public fuzz::CFuzzTarget {
public:
    explicit CProbeTarget(std::string (*run)(const std::string&, int&, fuzz::Verdict&)) : m_run(run) {}
    const char* Name() const override { return "probe"; }
    uint32_t UnitBytes() const override { return 1; }
    std::vector<std::string> Corpus() const override { return {"a", "b"}; }
    std::vector<std::string> Tokens() const override { return {"c"}; }
    std::string Run(const std::string& input, CGuardedBuffer&, fuzz::Verdict& verdict) override {
        return m_run(input, m_calls, verdict);
    }

private:
    std::string (*m_run)(const std::string&, int&, fuzz::Verdict&);
    int m_calls = 0;
};

} // namespace

TEST(FuzzEngineTest, ExceptionsDisagreementsAndBrokenPromisesAreFailures) {
    CProbeTarget throwing(
        [](const std::string&, int&, fuzz::Verdict&) -> std::string { throw std::runtime_error("reader threw"); });
    EXPECT_EQ(Fuzz(throwing, 50, 0, 0).failures, 50u);

    // Each call gives a new result, so the two runs of an input never agree.
    CProbeTarget unstable([](const std::string&, int& calls, fuzz::Verdict&) { return std::to_string(calls++); });
    EXPECT_EQ(Fuzz(unstable, 50, 0, 0).failures, 50u);

    // The corpus comes first and unchanged: "a", then "b".
    CProbeTarget complaining([](const std::string& input, int&, fuzz::Verdict& verdict) {
        if (input == "b") {
            verdict.problem = "b is refused";
        }
        verdict.accepted = input == "a";
        return input;
    });
    const fuzz::TargetReport two = Fuzz(complaining, 2, 0, 0);
    EXPECT_EQ(two.inputs, 2u);
    EXPECT_EQ(two.failures, 1u);
    EXPECT_EQ(two.accepted, 1u);

    CProbeTarget healthy([](const std::string& input, int&, fuzz::Verdict&) { return input; });
    const fuzz::TargetReport report = Fuzz(healthy, 3000);
    EXPECT_EQ(report.inputs, 3000u);
    EXPECT_EQ(report.failures, 0u);
}

TEST(FuzzEngineTest, TimeLimitEndsATargetEarlyButAfterSomeInputs) {
    CProbeTarget slow([](const std::string& input, int&, fuzz::Verdict&) {
        ::Sleep(1);
        return input;
    });
    const fuzz::TargetReport report = Fuzz(slow, 1000000, 0.05);
    EXPECT_GT(report.inputs, 0u);
    EXPECT_LT(report.inputs, 1000u);
    EXPECT_EQ(report.failures, 0u);
}

TEST(FuzzEngineTest, SameSeedMakesTheSameInputsAndStartsWithTheCorpus) {
    const auto target = Target("paras");
    ASSERT_NE(target, nullptr);
    fuzz::CMutator first(*target, 1);
    fuzz::CMutator second(*target, 1);
    fuzz::CMutator other(*target, 2);
    const std::vector<std::string> corpus = target->Corpus();
    int differing = 0;
    for (size_t i = 0; i < 2000; ++i) {
        const std::string input = first.Next();
        ASSERT_EQ(input, second.Next()) << "input " << i;
        if (i < corpus.size()) {
            EXPECT_EQ(input, corpus[i]);
        }
        if (input != other.Next()) {
            ++differing;
        }
    }
    EXPECT_GT(differing, 1000);
}

namespace {

std::vector<std::string> Inputs(const char* name, uint64_t count) {
    const auto target = Target(name);
    fuzz::CMutator mutator(*target, fuzz::TargetSeed(fuzz::kDefaultSeed, name));
    std::vector<std::string> inputs;
    for (uint64_t i = 0; i < count; ++i) {
        inputs.push_back(mutator.Next());
    }
    return inputs;
}

bool HasUnit(const std::string& input, uint16_t unit) {
    for (size_t i = 0; i + 1 < input.size(); i += 2) {
        if ((static_cast<unsigned char>(input[i]) | static_cast<unsigned char>(input[i + 1]) << 8) == unit) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(FuzzEngineTest, MutationsReachTheValuesAndLengthsThatBreakReaders) {
    size_t longest = 0;
    bool nonCharacter = false;
    bool surrogate = false;
    bool zero = false;
    bool intMin = false;
    for (const std::string& input : Inputs("cmdline", kInputs)) {
        ASSERT_EQ(input.size() % 2, 0u) << "UTF-16 inputs keep whole units";
        ASSERT_LE(input.size(), 2u * fuzz::kMaxInputUnits);
        longest = std::max(longest, input.size() / 2);
        nonCharacter = nonCharacter || HasUnit(input, 0xFFFF);
        surrogate = surrogate || HasUnit(input, 0xD800) || HasUnit(input, 0xDC00);
        zero = zero || HasUnit(input, 0);
        intMin = intMin || fuzz::BytesWide(input).find(L"-2147483648") != std::wstring::npos;
    }
    EXPECT_GE(longest, 30000u);
    EXPECT_TRUE(nonCharacter);
    EXPECT_TRUE(surrogate);
    EXPECT_TRUE(zero);
    EXPECT_TRUE(intMin);

    bool utf8NonCharacter = false;
    bool utf8Surrogate = false;
    bool byteFF = false;
    for (const std::string& input : Inputs("filelist", kInputs)) {
        utf8NonCharacter = utf8NonCharacter || input.find("\xEF\xBF\xBF") != std::string::npos;
        utf8Surrogate = utf8Surrogate || input.find("\xED\xA0\x80") != std::string::npos;
        byteFF = byteFF || input.find('\xFF') != std::string::npos;
    }
    EXPECT_TRUE(utf8NonCharacter);
    EXPECT_TRUE(utf8Surrogate);
    EXPECT_TRUE(byteFF);

    // Block headers whose length is past the view, odd, or near 2^32.
    int past = 0;
    int odd = 0;
    int huge = 0;
    for (const std::string& input : Inputs("block", kInputs)) {
        if (input.size() < 12) {
            continue;
        }
        uint32_t length = 0;
        for (int b = 3; b >= 0; --b) {
            length = length << 8 | static_cast<unsigned char>(input[8 + b]);
        }
        past += length > input.size() - 12 ? 1 : 0;
        odd += length % 2;
        huge += length >= 0xFFFFFF00u ? 1 : 0;
    }
    EXPECT_GT(past, 100);
    EXPECT_GT(odd, 100);
    EXPECT_GT(huge, 100);
}

namespace {

struct ToolRun {
    DWORD exitCode = 0;
    std::string output;
};

// fuzz_inputs.exe with arguments, its output in a file of its own.
ToolRun RunTool(const std::wstring& arguments) {
    ToolRun run;
    const test::CTempFolder folder;
    const std::wstring outFile = folder.File(L"probe.txt");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const HANDLE out = ::CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create the output file: error " << ::GetLastError();
        return run;
    }
    const std::wstring exe = test::ModuleFolder() + L"\\fuzz_inputs.exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    const BOOL started =
        ::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    const DWORD error = ::GetLastError();
    ::CloseHandle(out);
    if (!started) {
        ADD_FAILURE() << "cannot start fuzz_inputs.exe: error " << error;
        return run;
    }
    ::CloseHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ADD_FAILURE() << "fuzz_inputs.exe did not end";
    }
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    ::CloseHandle(process.hProcess);

    run.output = test::ReadFileBytes(outFile);
    return run;
}

// The probe's one input, "read one byte too many", in hex.
const char kProbeInputHex[] = "72656164206f6e65206279746520746f6f206d616e79";

// A probe's run ended with exitCode and a report that names the fault and
// shows the input.
void ExpectProbeReport(const ToolRun& run, DWORD exitCode, const char* fault) {
    EXPECT_EQ(run.exitCode, exitCode) << run.output;
    EXPECT_NE(run.output.find(std::string(fault) + " in target probe at input 0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(kProbeInputHex), std::string::npos) << run.output;
}

} // namespace

// The guard page and the reports together: a reader that reads one byte
// past its input, overflows its stack or never returns ends the program
// with the input in the report, and never with a pass.
TEST(FuzzEngineTest, ReadingPastTheInputEndsTheFuzzerWithTheInputInItsReport) {
    const ToolRun run = RunTool(L"--probe overread");
    ExpectProbeReport(run, fuzz::kCrashExitCode, "CRASH: exception 0xC0000005");
    EXPECT_EQ(run.output.find("passed"), std::string::npos) << run.output;
}

// The report of an overflow must not depend on where in its last page the
// stack happens to run out: the handler runs with the guaranteed 64 KB,
// less the page the guarantee starts below and the exception's record.
TEST(FuzzEngineTest, StackOverflowEndsTheFuzzerWithItsReport) {
    const ToolRun run = RunTool(L"--probe stack");
    ExpectProbeReport(run, fuzz::kCrashExitCode, "CRASH: stack overflow 0xC00000FD");
    const std::string left = "stack left to the overflow's handler: ";
    const size_t at = run.output.find(left);
    ASSERT_NE(at, std::string::npos) << run.output;
    EXPECT_GE(std::strtoull(run.output.c_str() + at + left.size(), nullptr, 10), 48u * 1024) << run.output;
}

// What Wine does to a thread whose overflow it cannot raise: it ends the
// thread and leaves the process running.
TEST(FuzzEngineTest, AThreadThatEndsInMidInputIsReportedAsACrash) {
    ExpectProbeReport(RunTool(L"--probe vanish"), fuzz::kCrashExitCode,
                      "CRASH: the thread running the inputs ended without a report");
}

TEST(FuzzEngineTest, AnInputThatNeverEndsIsReportedByTheWatchdog) {
    ExpectProbeReport(RunTool(L"--probe hang --hang-limit 1"), fuzz::kHangExitCode,
                      "HANG: no progress for the watchdog's limit");
}

// The program runs the same engine as these tests, and its exit code says
// whether every target ran and none failed.
TEST(FuzzEngineTest, ProgramMakesTheTestsInputsAndPassesOnlyWhenInputsRan) {
    const auto target = Target("paras");
    ASSERT_NE(target, nullptr);
    char digest[32];
    std::snprintf(digest, sizeof(digest), "%016llx", static_cast<unsigned long long>(Fuzz(*target, 2000).inputDigest));

    const ToolRun run = RunTool(L"--inputs 2000 --target paras");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find(digest), std::string::npos) << "digest " << digest << " in\n" << run.output;
    EXPECT_NE(run.output.find("fuzz_inputs: passed"), std::string::npos) << run.output;

    const ToolRun none = RunTool(L"--inputs 0 --target paras");
    EXPECT_EQ(none.exitCode, 1u) << none.output;
    EXPECT_NE(none.output.find("FAILED: a target ran no input"), std::string::npos) << none.output;

    EXPECT_EQ(RunTool(L"--target nothing").exitCode, 2u);
}
