#include "download/file_digests.h"

#include "download/md5.h"

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

    // The reader: the caller's thread.
    void ReadAll(const std::vector<std::wstring>& paths) {
        for (size_t i = 0; i < paths.size(); ++i) {
            ReadFile(i, paths[i]);
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

    std::vector<std::string>& Results() { return m_results; }

private:
    void ReadFile(size_t index, const std::wstring& path) {
        FILE* file = path.empty() ? nullptr : _wfopen(path.c_str(), L"rb");
        if (file == nullptr) {
            return; // no digest: the result stays ""
        }
        std::setvbuf(file, nullptr, _IONBF, 0);
        Job* job = new Job(index);
        {
            CExclusive hold(m_lock);
            m_pending.push_back(job);
            ::WakeAllConditionVariable(&m_workReady);
        }
        for (;;) {
            unsigned char* buffer = nullptr;
            {
                CExclusive hold(m_lock);
                while (m_freeBuffers.empty()) {
                    Wait(m_bufferFree);
                }
                buffer = m_freeBuffers.back();
                m_freeBuffers.pop_back();
            }
            const size_t read = std::fread(buffer, 1, kDigestReadChunk, file);
            CExclusive hold(m_lock);
            if (read == 0) {
                m_freeBuffers.push_back(buffer);
                // A read error (a folder opened as a file) is not a digest.
                job->failed = std::ferror(file) != 0;
                // The job belongs to its digesting thread from here on.
                job->complete = true;
                ::WakeAllConditionVariable(&m_workReady);
                break;
            }
            job->chunks.push_back(Chunk{buffer, read});
            ::WakeAllConditionVariable(&m_workReady);
        }
        std::fclose(file);
    }

    // With m_lock held.
    void Wait(CONDITION_VARIABLE& condition) { ::SleepConditionVariableSRW(&condition, &m_lock, INFINITE, 0); }

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_workReady = CONDITION_VARIABLE_INIT;  // a new file, a chunk, an end of file, the end
    CONDITION_VARIABLE m_bufferFree = CONDITION_VARIABLE_INIT; // a chunk was digested
    std::deque<Job*> m_pending;                                // files not yet taken by a digesting thread
    std::vector<unsigned char*> m_freeBuffers;
    std::vector<std::unique_ptr<unsigned char[]>> m_storage;
    bool m_bReaderDone = false;
    std::vector<std::string> m_results;
};

std::vector<std::string> DigestOneByOne(const std::vector<std::wstring>& paths) {
    std::vector<std::string> results;
    results.reserve(paths.size());
    for (const std::wstring& path : paths) {
        results.push_back(FileDigest(path.c_str()));
    }
    return results;
}

} // namespace

std::vector<std::string> FileDigests(const std::vector<std::wstring>& paths) {
    const unsigned processors = std::thread::hardware_concurrency();
    const unsigned digesters =
        static_cast<unsigned>(std::min<size_t>({std::max(processors, 1u), kMostDigesters, paths.size()}));
    if (digesters < 2) {
        return DigestOneByOne(paths);
    }
    std::unique_ptr<CDigestBatch> batch;
    try {
        batch = std::make_unique<CDigestBatch>(paths.size(), digesters);
    } catch (const std::bad_alloc&) {
        return DigestOneByOne(paths);
    }
    std::vector<std::thread> threads;
    try {
        for (unsigned i = 0; i < digesters; ++i) {
            threads.emplace_back(&CDigestBatch::Digest, batch.get());
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked for still digest everything; none at all
        // would leave the reader waiting for buffers for good.
        if (threads.empty()) {
            return DigestOneByOne(paths);
        }
    }
    batch->ReadAll(paths);
    for (std::thread& thread : threads) {
        thread.join();
    }
    return std::move(batch->Results());
}
