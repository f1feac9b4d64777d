#include "download/md5.h"

#include "download/file_digests.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <psapi.h>
#include <wincrypt.h>

namespace {

std::string Digest(const std::string& message) {
    CMD5Checksum checksum;
    checksum.Update(reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return checksum.Final();
}

// The platform's own MD5 (CryptoAPI), an implementation independent of ours.
class CPlatformMd5 {
public:
    CPlatformMd5() { CryptCreateHash(Provider(), CALG_MD5, 0, 0, &m_hash); }
    ~CPlatformMd5() {
        if (m_hash != 0) {
            CryptDestroyHash(m_hash);
        }
    }
    bool Valid() const { return m_hash != 0; }
    void Update(const std::string& bytes) {
        CryptHashData(m_hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0);
    }
    std::string Final() {
        BYTE value[16];
        DWORD size = sizeof(value);
        if (!CryptGetHashParam(m_hash, HP_HASHVAL, value, &size, 0)) {
            return "failed";
        }
        static const char kDigits[] = "0123456789abcdef";
        std::string text;
        for (BYTE b : value) {
            text += kDigits[b >> 4];
            text += kDigits[b & 15];
        }
        return text;
    }

private:
    // Acquired once: under Wine each acquisition takes about 10 ms.
    static HCRYPTPROV Provider() {
        static HCRYPTPROV provider = [] {
            HCRYPTPROV acquired = 0;
            CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
            return acquired;
        }();
        return provider;
    }

    HCRYPTHASH m_hash = 0;
};

std::string PlatformDigest(const std::string& bytes) {
    CPlatformMd5 md5;
    md5.Update(bytes);
    return md5.Final();
}

// Bytes that repeat with no power-of-two period, so a chunk read twice or
// skipped changes the digest.
std::string Pattern(size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    unsigned value = seed;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(value >> 16);
    }
    return bytes;
}

TEST(Md5Test, Rfc1321TestSuite) {
    EXPECT_EQ(Digest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Digest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Digest("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, PaddingEdges) {
    // One byte short of room for the length, exactly none, and around a whole block.
    EXPECT_EQ(Digest(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Digest(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Digest(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(Digest(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Digest(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");

    ASSERT_TRUE(CPlatformMd5().Valid());
    for (size_t size = 0; size <= 200; ++size) {
        const std::string bytes = Pattern(size, static_cast<unsigned>(size));
        EXPECT_EQ(Digest(bytes), PlatformDigest(bytes)) << size << " bytes";
    }
}

TEST(Md5Test, UpdatesInPiecesGiveTheSameDigest) {
    const std::string bytes = Pattern(5000);
    const std::string whole = Digest(bytes);
    EXPECT_EQ(whole, PlatformDigest(bytes));
    for (size_t piece : {1u, 7u, 55u, 63u, 64u, 65u, 1023u, 1024u, 1025u}) {
        CMD5Checksum checksum;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            const size_t length = std::min(piece, bytes.size() - at);
            checksum.Update(reinterpret_cast<const unsigned char*>(bytes.data() + at), length);
        }
        EXPECT_EQ(checksum.Final(), whole) << "pieces of " << piece;
    }
}

TEST(Md5Test, FileDigestOfReadsThatStraddleChunks) {
    test::CTempFolder folder;
    // Around the 256 KB read chunk and its multiples, and sizes that are no
    // multiple of the 64-byte block.
    constexpr size_t kChunk = 256 * 1024;
    for (size_t size : {size_t{0}, size_t{1}, size_t{1025}, size_t{100000}, kChunk - 1, kChunk, kChunk + 1, kChunk + 63,
                        2 * kChunk - 64, 2 * kChunk, 3 * kChunk + 5}) {
        const std::wstring path = folder.File(L"chunk" + std::to_wstring(size) + L".bin");
        const std::string bytes = Pattern(size, static_cast<unsigned>(size) + 3);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        const std::string expected = PlatformDigest(bytes);
        EXPECT_EQ(FileDigest(path.c_str()), expected) << size << " bytes";
        // The narrow form reads the same file when the path is plain ASCII.
        const std::string narrow(path.begin(), path.end());
        EXPECT_EQ(FileDigest(narrow.c_str()), expected) << size << " bytes";
    }
}

TEST(Md5Test, NoDigestForWhatCannotBeRead) {
    test::CTempFolder folder;
    const std::wstring missing = folder.File(L"missing.bin");
    const std::string narrowMissing(missing.begin(), missing.end());
    const std::string narrowFolder(folder.Path().begin(), folder.Path().end());
    EXPECT_EQ(FileDigest(missing.c_str()), "");
    EXPECT_EQ(FileDigest(narrowMissing.c_str()), "");
    EXPECT_EQ(FileDigest(folder.Path().c_str()), "");
    EXPECT_EQ(FileDigest(narrowFolder.c_str()), "");
    EXPECT_EQ(FileDigest(L""), "");
    EXPECT_EQ(FileDigest(""), "");
    EXPECT_EQ(FileDigest(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(FileDigest(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(StreamDigest(nullptr), "");
}

TEST(Md5Test, WidePathOutsideTheAnsiCodePage) {
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"\x6e38\x620f\x5305.bin"); // Chinese characters
    const std::string bytes = Pattern(3000);
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    EXPECT_EQ(FileDigest(path.c_str()), PlatformDigest(bytes));

    // The narrow form cannot name this file: the code page replaces the characters.
    char narrow[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof(narrow), nullptr, nullptr);
    EXPECT_EQ(FileDigest(narrow), "");
}

TEST(Md5Test, LargeFileDigestedInConstantMemory) {
    // 320 MB of a pattern, hashed by the platform while it is written.
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"large.bin");
    constexpr size_t kChunk = 1 << 20;
    constexpr int kChunks = 320;
    CPlatformMd5 expected;
    {
        FILE* file = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        std::string chunk = Pattern(kChunk);
        for (int i = 0; i < kChunks; ++i) {
            chunk[i % kChunk] = static_cast<char>(i); // no two chunks alike
            expected.Update(chunk);
            ASSERT_EQ(fwrite(chunk.data(), 1, chunk.size(), file), chunk.size());
        }
        ASSERT_EQ(fclose(file), 0);
    }

    // A watcher samples the process's private memory while the digest runs.
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    const SIZE_T before = counters.PagefileUsage;
    std::atomic<bool> done{false};
    SIZE_T peak = before;
    std::thread watcher([&] {
        while (!done) {
            PROCESS_MEMORY_COUNTERS c = {};
            GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof(c));
            peak = std::max(peak, c.PagefileUsage);
            Sleep(5);
        }
    });
    const std::string digest = FileDigest(path.c_str());
    done = true;
    watcher.join();

    EXPECT_EQ(digest, expected.Final());
    EXPECT_GT(before, 0u);
    EXPECT_LT(peak - before, static_cast<SIZE_T>(4 << 20)) << "private memory grew while digesting";
}

TEST(FileDigestsTest, EachFileGetsWhatFileDigestGivesInOrder) {
    test::CTempFolder folder;
    constexpr size_t kChunk = 256 * 1024;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    const auto add = [&](const std::wstring& name, size_t size) {
        const std::wstring path = folder.File(name);
        const std::string bytes = Pattern(size, static_cast<unsigned>(paths.size()) + 11);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(PlatformDigest(bytes));
    };
    add(L"empty.bin", 0);
    add(L"chunk.bin", kChunk);
    paths.push_back(folder.File(L"missing.bin"));
    expected.push_back("");
    add(L"large.bin", 12 * kChunk + 17); // more chunks than the readers hold at once
    paths.push_back(L"");
    expected.push_back("");
    paths.push_back(folder.Path()); // a folder cannot be read as a file
    expected.push_back("");
    add(L"small.bin", 3);
    paths.push_back(paths[1]); // the same file twice
    expected.push_back(expected[1]);

    EXPECT_EQ(FileDigests(paths), expected);
    EXPECT_TRUE(FileDigests({}).empty());
    EXPECT_EQ(FileDigests({paths[3]}), std::vector<std::string>{expected[3]});
}

TEST(FileDigestsTest, ManyFilesOfMixedSizesKeepTheirOwnDigests) {
    // Far more files than read-ahead chunks, so every file waits for chunks
    // that other threads give back, and small files overtake large ones.
    test::CTempFolder folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    for (unsigned i = 0; i < 120; ++i) {
        const size_t size = (i % 7 == 0) ? (i * 9973u) % (900 * 1024) : (i * 131u) % 5000;
        const std::wstring path = folder.File(L"f" + std::to_wstring(i) + L".bin");
        const std::string bytes = Pattern(size, i + 100);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(PlatformDigest(bytes));
    }
    for (int round = 0; round < 3; ++round) {
        const std::vector<std::string> digests = FileDigests(paths);
        ASSERT_EQ(digests.size(), expected.size());
        for (size_t i = 0; i < digests.size(); ++i) {
            EXPECT_EQ(digests[i], expected[i]) << "file " << i << ", round " << round;
        }
    }
}

} // namespace
