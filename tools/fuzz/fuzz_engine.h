#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class CGuardedBuffer;

// A deterministic mutation fuzzer for the readers of untrusted input: the
// same seed gives the same inputs on i686 and x86-64, because every choice
// is made with 32- and 64-bit integers of fixed width, never with size_t,
// long or the C library's rand(), and no expression makes two choices (the
// order in which a call's arguments are evaluated may differ between
// compilers). One thread.
namespace fuzz {

constexpr uint64_t kDefaultSeed = 20240611;

// The longest input, in units (bytes or UTF-16 code units): long enough for
// the runs of 30,000 characters and more that repetition makes.
constexpr uint32_t kMaxInputUnits = 40960;
// The guarded buffer holds the longest UTF-16 input and its terminator.
constexpr size_t kGuardedCapacity = 2 * kMaxInputUnits + 64;

// splitmix64: tiny, fast, and the same sequence everywhere.
class CRandom {
public:
    explicit CRandom(uint64_t seed) : m_state(seed) {}

    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to bound - 1 (0 when bound is 0), by multiplication rather than
    // modulo so that no value is favoured.
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(((Next() >> 32) * bound) >> 32); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }

private:
    uint64_t m_state;
};

// FNV-1a over bytes, for digests of input sequences and of results.
uint64_t Fnv1a(const void* data, size_t size, uint64_t hash = 0xCBF29CE484222325ull);

// Input bytes of UTF-16LE text from a wide string, and back.
std::string WideBytes(const std::wstring& text);
std::wstring BytesWide(const std::string& bytes);

// What one run of a reader showed besides its result.
struct Verdict {
    std::string problem;   // a broken promise of the reader's header; empty when all held
    bool accepted = false; // the reader found something usable (a message, an option, a list)
};

// One reader of untrusted input, as the fuzzer drives it. Inputs are bytes;
// for a reader of UTF-16 text each unit is two bytes, little-endian, and
// every mutation keeps whole units.
class CFuzzTarget {
public:
    virtual ~CFuzzTarget() = default;

    virtual const char* Name() const = 0;
    // 1 for bytes (UTF-8 texts, blocks), 2 for UTF-16 text.
    virtual uint32_t UnitBytes() const = 0;
    // Realistic inputs to start from, each a whole number of units.
    virtual std::vector<std::string> Corpus() const = 0;
    // Pieces of the format (markup, option names, field values) that
    // mutations insert, in the target's own encoding.
    virtual std::vector<std::string> Tokens() const = 0;
    // A mutation of the target's own (the block's header fields); false
    // when it has none and a generic one is to be made instead.
    virtual bool MutateByFormat(std::string& /*input*/, CRandom& /*random*/) const { return false; }

    // Runs the reader on input once and returns what it gave in a canonical
    // form that a second run on the same input must reproduce byte for byte.
    // Pointer-taking readers get their input at the end of guard, so that a
    // read past it faults.
    virtual std::string Run(const std::string& input, CGuardedBuffer& guard, Verdict& verdict) = 0;
};

// Makes a target's inputs: first each corpus entry as it is, then mutated
// ones, each a few stacked mutations of a corpus entry or of a recent input.
class CMutator {
public:
    CMutator(const CFuzzTarget& target, uint64_t seed);

    std::string Next();

private:
    uint32_t Units(const std::string& input) const { return static_cast<uint32_t>(input.size() / m_nUnit); }
    uint32_t GetUnit(const std::string& input, uint32_t index) const;
    void SetUnit(std::string& input, uint32_t index, uint32_t value) const;
    std::string UnitText(uint32_t value) const;
    std::string Encode(const char* ascii) const;
    uint32_t InterestingUnit();
    std::string RandomUnits(uint32_t count);

    void MutateOnce(std::string& input);
    void InsertAt(std::string& input, uint32_t unit, const std::string& piece) const;
    void Repeat(std::string& input);
    void ReplaceNumber(std::string& input);

    const CFuzzTarget& m_target;
    size_t m_nUnit;
    std::vector<std::string> m_corpus;
    std::vector<std::string> m_tokens;
    std::vector<std::string> m_recent;
    CRandom m_random;
    uint64_t m_nMade = 0;
};

struct RunOptions {
    uint64_t seed = kDefaultSeed;
    uint64_t inputs = 20000;     // per target
    double timeLimitSeconds = 0; // per target; 0 = none
    unsigned maxReports = 5;     // failures printed in full per target
    FILE* log = stdout;
};

struct TargetReport {
    std::string name;
    uint64_t inputs = 0;
    uint64_t failures = 0;
    uint64_t accepted = 0; // inputs the reader found usable: how far past its checks the inputs got
    double seconds = 0;
    uint64_t inputDigest = 0;  // of the inputs made: equal on every architecture
    uint64_t resultDigest = 0; // of the canonical results
};

// The seed of one target's own generator: a run of one target alone makes
// the same inputs as the same target in a run of all of them.
uint64_t TargetSeed(uint64_t seed, const char* name);

// Runs options.inputs inputs through target, each twice. A failure is an
// exception out of the reader, two runs that disagree, or a broken promise;
// the first few are printed with their input. A crash or a hang ends the
// process with the target, input index and input printed (InstallCrashReport).
TargetReport RunTarget(CFuzzTarget& target, const RunOptions& options);

// The exit codes of a process that the crash report or the hang watchdog ends.
constexpr unsigned kCrashExitCode = 70;
constexpr unsigned kHangExitCode = 71;

// Installs, once per process, the unhandled-exception filter, a vectored
// handler for stack overflows (the filter may have no stack left to run on)
// with a stack guarantee that holds under Wine too, and a watchdog thread
// that ends the process when one input takes longer than hangSeconds or the
// calling thread, which must be the one that runs the inputs, dies without
// a report.
void InstallCrashReport(unsigned hangSeconds);

// The hex of at most maxBytes bytes of input, with its size.
std::string HexDump(const std::string& input, size_t maxBytes);

} // namespace fuzz
