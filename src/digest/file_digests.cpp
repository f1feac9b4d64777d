#include "digest/file_digests.h"

#include "digest/md5.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>

#include <windows.h>

namespace {

constexpr unsigned kMostDigesters = 4;
// Chunks read ahead per digesting thread: enough that a thread finishing a
// file finds the next one already read, while the reader goes on.
constexpr unsigned kChunksPerDigester = 4;

// The platform's slim lock and condition variables: under Wine they wait
// in the kernel directly, where the runtime's thread library would make a
// round trip to the Wine server for every wait and every wake.
class CExclusive {
public:
    explicit CExclusive(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    ~CExclusive() { ::ReleaseSRWLockExclusive(&m_lock); }
    CExclusive(const CExclusive&) = delete;
    CExclusive& operator=(const CExclusive&) = delete;

private:
    SRWLOCK& m_lock;
};

struct Chunk {
    unsigned char* data;
    size_t size;
};

// One file on its way from the reader to the thread that digests it.
struct Job {
    explicit Job(size_t i) : index(i) {}
    size_t index;
    CMD5Checksum checksum;
    std::deque<Chunk> chunks; // read, not yet digested, in file order
    bool complete = false;    // the reader has reached the end of the file
    bool failed = false;      // and a read failed on the way
};

class CDigestBatch {
public:
    CDigestBatch(size_t files, unsigned digesters) : m_results(files) {
        const size_t buffers = static_cast<size_t>(digesters) * kChunksPerDigester;
        for (size_t i = 0; i < buffers; ++i) {
            m_storage.emplace_back(new unsigned char[kDigestReadChunk]);
            m_freeBuffers.push_back(m_storage.back().get());
        }
    }

    ~CDigestBatch() {
        for (Job* job : m_pending) {
            delete job;
        }
    }

    // The reader: the caller's thread. Short of memory, it stops reading
    // and says so in Failed; either way the digesting threads then finish
    // what they hold and end.
    void ReadAll(const std::vector<std::wstring>& paths, CDigestObserver* observer) noexcept {
        m_pObserver = observer;
        try {
            for (size_t i = 0; i < paths.size() && !m_bStopped; ++i) {
                ReadFile(i, paths[i]);
            }
        } catch (...) {
            m_bFailed = true; // only std::bad_alloc comes this far
        }
        CExclusive hold(m_lock);
        m_bReaderDone = true;
        ::WakeAllConditionVariable(&m_workReady);
    }

    // A digesting thread: takes the files in order, one at a time, until the
    // reader is done and none is left.
    void Digest() {
        CExclusive hold(m_lock);
        for (;;) {
            while (m_pending.empty() && !m_bReaderDone) {
                Wait(m_workReady);
            }
            if (m_pending.empty()) {
                return;
            }
            std::unique_ptr<Job> job(m_pending.front());
            m_pending.pop_front();
            for (;;) {
                while (job->chunks.empty() && !job->complete) {
                    Wait(m_workReady);
                }
                if (job->chunks.empty()) {
                    break;
                }
                const Chunk chunk = job->chunks.front();
                job->chunks.pop_front();
                ::ReleaseSRWLockExclusive(&m_lock);
                job->checksum.Update(chunk.data, chunk.size);
                ::AcquireSRWLockExclusive(&m_lock);
                m_freeBuffers.push_back(chunk.data);
                ::WakeConditionVariable(&m_bufferFree);
            }
            if (!job->failed) {
                try {
                    m_results[job->index] = job->checksum.Final();
                } catch (const std::bad_alloc&) {
                    // No memory for 32 digits: no digest, as for a failed read.
                }
            }
        }
    }

    // Once the digesting threads have ended.
    bool Failed() const { return m_bFailed; }
    std::vector<std::string>& Results() { return m_results; }

private:
    // Throws std::bad_alloc; the file is closed and a job already handed
    // to the digesting threads is ended as failed on every way out, so none
    // of them waits for its next chunk for good.
    void ReadFile(size_t index, const std::wstring& path) {
        const std::unique_ptr<FILE, CloseFile> file(path.empty() ? nullptr : _wfopen(path.c_str(), L"rb"));
        if (!file) {
            return; // no digest: the result stays ""
        }
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
        std::unique_ptr<Job> made(new Job(index));
        Job* const job = made.get();
        {
            CExclusive hold(m_lock);
            m_pending.push_back(job);
            made.release();
            ::WakeAllConditionVariable(&m_workReady);
        }
        unsigned char* buffer = nullptr;
        try {
            for (;;) {
                {
                    CExclusive hold(m_lock);
                    while (m_freeBuffers.empty()) {
                        Wait(m_bufferFree);
                    }
                    buffer = m_freeBuffers.back();
                    m_freeBuffers.pop_back();
                }
                const size_t read = std::fread(buffer, 1, kDigestReadChunk, file.get());
                // Given up part-way, a file has no digest, like one that
                // could not be read.
                const bool stop = m_pObserver != nullptr && !m_pObserver->OnChunk();
                CExclusive hold(m_lock);
                if (read == 0 || stop) {
                    m_bStopped = m_bStopped || stop;
                    m_freeBuffers.push_back(buffer);
                    // A read error (a folder opened as a file) is not a digest.
                    job->failed = stop || std::ferror(file.get()) != 0;
                    // The job belongs to its digesting thread from here on.
                    job->complete = true;
                    ::WakeAllConditionVariable(&m_workReady);
                    return;
                }
                job->chunks.push_back(Chunk{buffer, read});
                buffer = nullptr;
                ::WakeAllConditionVariable(&m_workReady);
            }
        } catch (...) {
            CExclusive hold(m_lock);
            if (buffer != nullptr) {
                m_freeBuffers.push_back(buffer);
                ::WakeConditionVariable(&m_bufferFree);
            }
            job->failed = true;
            job->complete = true;
            ::WakeAllConditionVariable(&m_workReady);
            throw;
        }
    }

    struct CloseFile {
        void operator()(FILE* file) const { std::fclose(file); }
    };

    // With m_lock held.
    void Wait(CONDITION_VARIABLE& condition) { ::SleepConditionVariableSRW(&condition, &m_lock, INFINITE, 0); }

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_workReady = CONDITION_VARIABLE_INIT;  // a new file, a chunk, an end of file, the end
    CONDITION_VARIABLE m_bufferFree = CONDITION_VARIABLE_INIT; // a chunk was digested
    std::deque<Job*> m_pending;                                // files not yet taken by a digesting thread
    std::vector<unsigned char*> m_freeBuffers;
    std::vector<std::unique_ptr<unsigned char[]>> m_storage;
    bool m_bReaderDone = false;
    bool m_bFailed = false;                 // the reader ran out of memory: the results are not all there
    bool m_bStopped = false;                // the observer said stop: the files from then on have no digest
    CDigestObserver* m_pObserver = nullptr; // the reader's alone
    std::vector<std::string> m_results;
};

// Passes every chunk on to an observer and remembers the first stop it asks
// for, so that the files after it are not even opened.
class CStopLatch final : public CDigestObserver {
public:
    explicit CStopLatch(CDigestObserver* observer) noexcept : m_pObserver(observer) {}
    bool OnChunk() noexcept override {
        m_bStopped = m_bStopped || (m_pObserver != nullptr && !m_pObserver->OnChunk());
        return !m_bStopped;
    }
    bool Stopped() const noexcept { return m_bStopped; }

private:
    CDigestObserver* m_pObserver;
    bool m_bStopped = false;
};

// One buffer for all the files, on the caller's thread; into results, which
// has one string per path.
void DigestOneByOne(const std::vector<std::wstring>& paths, std::vector<std::string>& results,
                    CDigestObserver* observer) noexcept {
    // A file given up part-way has no digest; FileDigest gives "" for it.
    CStopLatch latch(observer);
    CDigestBuffer buffer;
    for (size_t i = 0; i < paths.size() && !latch.Stopped(); ++i) {
        results[i] = FileDigest(paths[i].c_str(), buffer, observer != nullptr ? &latch : nullptr);
    }
}

// With threads: false when the batch could not be made, started or read
// through for want of memory or threads (the results are then incomplete).
// Every thread started has been joined when it returns.
bool DigestInBatch(const std::vector<std::wstring>& paths, unsigned digesters, std::vector<std::string>& results,
                   CDigestObserver* observer) noexcept {
    std::unique_ptr<CDigestBatch> batch;
    std::vector<std::thread> threads;
    try {
        batch = std::make_unique<CDigestBatch>(paths.size(), digesters);
        threads.reserve(digesters);
    } catch (...) {
        return false;
    }
    for (unsigned i = 0; i < digesters; ++i) {
        // No room for a thread's state, or no thread (std::system_error):
        // fewer threads still digest everything; none at all would leave
        // the reader waiting for buffers for good.
        try {
            threads.emplace_back(&CDigestBatch::Digest, batch.get());
        } catch (...) {
            break;
        }
    }
    if (threads.empty()) {
        return false;
    }
    batch->ReadAll(paths, observer);
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (batch->Failed()) {
        return false;
    }
    results.swap(batch->Results());
    return true;
}

} // namespace

bool FileDigests(const std::vector<std::wstring>& paths, std::vector<std::string>& digests,
                 CDigestObserver* observer) noexcept {
    digests.clear();
    std::vector<std::string> results;
    try {
        results.resize(paths.size());
    } catch (...) {
        return false;
    }
    const unsigned processors = std::thread::hardware_concurrency();
    const unsigned digesters =
        static_cast<unsigned>(std::min<size_t>({std::max(processors, 1u), kMostDigesters, paths.size()}));
    if (digesters < 2 || !DigestInBatch(paths, digesters, results, observer)) {
        DigestOneByOne(paths, results, observer);
    }
    digests.swap(results);
    return true;
}
