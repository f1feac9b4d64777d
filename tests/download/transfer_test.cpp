// The rules of an attempt against a scripted engine: every answer a server
// may give, each wait the network may make (on a clock the test moves), and
// a disk whose free space the test decides.
#include "download/transfer.h"

#include "base/unique_handle.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include <windows.h>

namespace {

ULONGLONG g_ullNow = 1000000;
ULONGLONG WINAPI FakeNow() {
    return g_ullNow;
}

// The volume had this much free before the file being written.
int64_t g_nFreeBefore = int64_t{1} << 40;
bool FakeFreeBytes(const std::wstring& path, int64_t& freeBytes) {
    freeBytes = g_nFreeBefore - test::FileSize(path);
    return true;
}

// One piece of a body as the engine hands it over: bytes, a time in which
// nothing comes, or a failure of the connection.
struct Piece {
    std::string bytes;
    DWORD dwPauseMs = 0;
    CHttpEngine::Error failure = CHttpEngine::ERROR_NONE;
};
Piece Bytes(const std::string& bytes) {
    return Piece{bytes, 0, CHttpEngine::ERROR_NONE};
}
Piece Pause(DWORD ms) {
    return Piece{std::string(), ms, CHttpEngine::ERROR_NONE};
}
Piece Broken() {
    return Piece{std::string(), 0, CHttpEngine::ERROR_BROKEN};
}

// One answer of the server: its status line and headers, or a failure
// before any, and the body's pieces. The body ends after the last piece.
struct Answer {
    DWORD dwStatus = 200;
    std::wstring strHeaders; // after the status line, each line ending in CR LF
    std::vector<Piece> body;
    CHttpEngine::Error failure = CHttpEngine::ERROR_NONE;
    DWORD dwAnswerAfterMs = 0; // nothing comes for this long first
};

struct Request {
    std::wstring strUrl;
    std::wstring strHeaders;
};

class CScriptedEngine final : public CHttpEngine {
public:
    std::deque<Answer> answers;
    std::vector<Request> requests;
    int nCloses = 0;

    Step Open(const std::wstring& url, const std::wstring& headers, DWORD waitMs) override {
        requests.push_back(Request{url, headers});
        if (answers.empty()) {
            m_error = ERROR_CONNECT;
            return STEP_FAILED;
        }
        m_answer = answers.front();
        answers.pop_front();
        m_nPiece = 0;
        m_nOffset = 0;
        m_dwPauseLeft = m_answer.body.empty() ? 0 : m_answer.body[0].dwPauseMs;
        return AwaitResponse(waitMs);
    }
    Step AwaitResponse(DWORD waitMs) override {
        if (m_answer.dwAnswerAfterMs > 0) {
            const DWORD passed = std::min(waitMs, m_answer.dwAnswerAfterMs);
            g_ullNow += passed;
            m_answer.dwAnswerAfterMs -= passed;
            return STEP_PENDING;
        }
        if (m_answer.failure != ERROR_NONE) {
            m_error = m_answer.failure;
            return STEP_FAILED;
        }
        m_headers =
            L"HTTP/1.1 " + std::to_wstring(m_answer.dwStatus) + L" Scripted\r\n" + m_answer.strHeaders + L"\r\n";
        return STEP_DONE;
    }
    DWORD Status() const override { return m_answer.dwStatus; }
    const std::wstring& Headers() const override { return m_headers; }
    Step Read(char* buffer, DWORD size, DWORD& read, DWORD waitMs) override {
        read = 0;
        while (m_nPiece < m_answer.body.size()) {
            Piece& piece = m_answer.body[m_nPiece];
            if (piece.dwPauseMs > 0) {
                const DWORD passed = std::min(waitMs, piece.dwPauseMs);
                g_ullNow += passed;
                piece.dwPauseMs -= passed;
                return STEP_PENDING;
            }
            if (piece.failure != ERROR_NONE) {
                m_error = piece.failure;
                return STEP_FAILED;
            }
            if (m_nOffset < piece.bytes.size()) {
                read = static_cast<DWORD>(std::min<size_t>(size, piece.bytes.size() - m_nOffset));
                std::copy_n(piece.bytes.data() + m_nOffset, read, buffer);
                m_nOffset += read;
                return STEP_DONE;
            }
            ++m_nPiece;
            m_nOffset = 0;
        }
        return STEP_DONE;
    }
    Error LastError() const override { return m_error; }
    void Close() noexcept override { ++nCloses; }

private:
    Answer m_answer;
    size_t m_nPiece = 0;
    size_t m_nOffset = 0;
    DWORD m_dwPauseLeft = 0;
    std::wstring m_headers;
    Error m_error = ERROR_NONE;
};

const wchar_t kUrl[] = L"http://cdn.example/game/level1.pak";
const wchar_t kTag[] = L"\"v1\"";

std::string Content(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i % 26);
    }
    return bytes;
}

// A 200 of body with a strong tag and its length.
Answer Whole(const std::string& body, const wchar_t* tag = kTag) {
    Answer answer;
    answer.strHeaders = L"Content-Length: " + std::to_wstring(body.size()) + L"\r\n";
    if (tag != nullptr) {
        answer.strHeaders += std::wstring(L"ETag: ") + tag + L"\r\n";
    }
    answer.body = {Bytes(body)};
    return answer;
}

// A 206 of part, from first to the end of a body of total bytes.
Answer Part(const std::string& part, int64_t first, int64_t total) {
    Answer answer;
    answer.dwStatus = 206;
    answer.strHeaders = L"Content-Length: " + std::to_wstring(part.size()) + L"\r\nContent-Range: bytes " +
                        std::to_wstring(first) + L"-" + std::to_wstring(total - 1) + L"/" + std::to_wstring(total) +
                        L"\r\nETag: " + kTag + L"\r\n";
    answer.body = {Bytes(part)};
    return answer;
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_nFreeBefore = int64_t{1} << 40;
        m_system.pfnNow = &FakeNow;
        m_system.pfnFreeBytes = &FakeFreeBytes;
        m_partial = m_folder.File(L"level1.pak.7.rvpart");
        m_target.strPath = m_partial;
        m_target.strRecordPath = m_folder.File(L"level1.pak.7.rvinfo");
        m_target.record.strTarget = m_folder.File(L"level1.pak");
        m_target.record.strMd5 = L"0123456789abcdef0123456789abcdef";
        m_target.record.strUrl = kUrl;
        OpenPartial();
    }

    void OpenPartial() {
        m_file.reset(CreateFileW(m_partial.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(m_file);
        m_target.hFile = m_file.get();
    }

    // An empty partial file, as a fresh task starts with.
    void ResetPartial() {
        m_file.reset();
        ASSERT_TRUE(test::WriteFileBytes(m_partial, ""));
        OpenPartial();
    }

    AttemptResult Attempt(const TransferBounds& bounds = TransferBounds()) {
        CTransfer transfer(m_engine, bounds, m_system, m_activity);
        return transfer.Attempt(kUrl, m_target);
    }

    std::string Held() {
        FlushFileBuffers(m_file.get());
        return test::ReadFileBytes(m_partial);
    }

    const Request& LastRequest() const { return m_engine.requests.back(); }
    static bool Asks(const Request& request, const std::wstring& header) {
        return request.strHeaders.find(header) != std::wstring::npos;
    }

    test::CTempFolder m_folder;
    std::wstring m_partial;
    base::unique_file m_file;
    TransferTarget m_target;
    TransferSystem m_system;
    CScriptedEngine m_engine;
    std::atomic<LONG> m_activity{0};
};

TEST_F(TransferTest, AWholeBodyWithAValidatorIsRecordedForALaterRun) {
    m_engine.answers = {Whole(Content(5000))};
    const AttemptResult result = Attempt();
    EXPECT_EQ(result.failure, FAILURE_NONE);
    EXPECT_FALSE(result.bJoined);
    EXPECT_EQ(result.nHeld, 5000);
    EXPECT_EQ(Held(), Content(5000));
    EXPECT_GT(m_activity.load(), 0);
    // The request asks for the representation as it is, and for no range.
    ASSERT_EQ(m_engine.requests.size(), 1u);
    EXPECT_TRUE(Asks(LastRequest(), L"Accept-Encoding: identity\r\n"));
    EXPECT_FALSE(Asks(LastRequest(), L"Range"));
    ResumeRecord record;
    ASSERT_TRUE(ReadResumeRecord(m_target.strRecordPath, record));
    EXPECT_EQ(record.strValidator, kTag);
    EXPECT_EQ(record.nTotal, 5000);
    EXPECT_TRUE(m_target.bRecordOnDisk);
}

TEST_F(TransferTest, ACutBodyKeepsItsBytesAndTheNextAttemptAsksForTheRestOnly) {
    const std::string body = Content(10000);
    Answer cut = Whole(body);
    cut.body = {Bytes(body.substr(0, 4000))};
    m_engine.answers = {cut, Part(body.substr(4000), 4000, 10000)};
    const AttemptResult first = Attempt();
    EXPECT_EQ(first.failure, FAILURE_CUT);
    EXPECT_EQ(first.nHeld, 4000);
    EXPECT_EQ(Held(), body.substr(0, 4000));

    const AttemptResult second = Attempt();
    EXPECT_EQ(second.failure, FAILURE_NONE);
    EXPECT_TRUE(second.bJoined);
    EXPECT_EQ(Held(), body);
    EXPECT_TRUE(Asks(LastRequest(), L"Range: bytes=4000-\r\n"));
    EXPECT_TRUE(Asks(LastRequest(), L"If-Range: \"v1\"\r\n"));
    EXPECT_TRUE(Asks(LastRequest(), L"Accept-Encoding: identity\r\n"));
}

TEST_F(TransferTest, AnythingButTheExactRestStartsAgainFromTheFirstByte) {
    const std::string body = Content(10000);
    const std::string changed = Content(12000).substr(26); // other bytes, another length
    struct Case {
        const char* what;
        std::vector<Answer> answers; // to the range; then whatever a request from the first byte gets
        size_t requests;
        std::string file;
        bool joined;
    };
    Answer changedWhole = Whole(changed, L"\"v2\"");
    Answer partWithOtherTotal = Part(body.substr(4000), 4000, 10001);
    Answer partFromElsewhere = Part(body.substr(3900), 3900, 10000);
    Answer partEncoded = Part(body.substr(4000), 4000, 10000);
    partEncoded.strHeaders += L"Content-Encoding: gzip\r\n";
    Answer refusedOther;
    refusedOther.dwStatus = 416;
    refusedOther.strHeaders = L"Content-Range: bytes */9000\r\n";
    Answer multipart = Part(body.substr(4000), 4000, 10000);
    multipart.strHeaders = L"Content-Type: multipart/byteranges; boundary=x\r\nETag: \"v1\"\r\n";
    const std::vector<Case> cases = {
        {"a 200: the server ignores the range, or the file changed", {changedWhole}, 1, changed, false},
        {"a 206 of another whole", {partWithOtherTotal, Whole(body)}, 2, body, false},
        {"a 206 from another offset", {partFromElsewhere, Whole(body)}, 2, body, false},
        {"a 206 encoded", {partEncoded, Whole(body)}, 2, body, false},
        {"a 206 without a Content-Range", {multipart, Whole(body)}, 2, body, false},
        {"a 416 of another length", {refusedOther, Whole(body)}, 2, body, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetPartial();
        Answer cut = Whole(body);
        cut.body = {Bytes(body.substr(0, 4000))};
        m_engine.requests.clear();
        m_engine.answers = {cut};
        m_engine.answers.insert(m_engine.answers.end(), c.answers.begin(), c.answers.end());
        ASSERT_EQ(Attempt().failure, FAILURE_CUT);
        const AttemptResult result = Attempt();
        EXPECT_EQ(result.failure, FAILURE_NONE);
        EXPECT_EQ(result.bJoined, c.joined);
        EXPECT_EQ(Held(), c.file);
        ASSERT_EQ(m_engine.requests.size(), 1 + c.requests);
        EXPECT_TRUE(Asks(m_engine.requests[1], L"Range: bytes=4000-"));
        // The second request of an attempt asks for the whole body.
        if (c.requests > 1) {
            EXPECT_FALSE(Asks(LastRequest(), L"Range"));
        }
    }
}

TEST_F(TransferTest, A416ThatNamesTheLengthHeldMeansTheFileIsWhole) {
    const std::string body = Content(8000);
    m_engine.answers = {Whole(body)};
    ASSERT_EQ(Attempt().failure, FAILURE_NONE);
    Answer whole;
    whole.dwStatus = 416;
    whole.strHeaders = L"Content-Range: bytes */8000\r\n";
    m_engine.answers = {whole};
    const AttemptResult result = Attempt();
    EXPECT_EQ(result.failure, FAILURE_NONE);
    EXPECT_TRUE(result.bJoined) << "the digest must decide";
    EXPECT_EQ(Held(), body);
    EXPECT_TRUE(Asks(LastRequest(), L"Range: bytes=8000-"));
    EXPECT_EQ(m_engine.requests.size(), 2u);
}

TEST_F(TransferTest, TheValidatorIsAStrongTagOrTheDateAndWithoutEitherNothingIsResumed) {
    const std::string body = Content(3000);
    Answer weak = Whole(body, L"W/\"w1\"");
    weak.strHeaders += L"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    weak.body = {Bytes(body.substr(0, 1000))};
    m_engine.answers = {weak, Part(body.substr(1000), 1000, 3000)};
    ASSERT_EQ(Attempt().failure, FAILURE_CUT);
    ASSERT_EQ(Attempt().failure, FAILURE_NONE);
    EXPECT_TRUE(Asks(LastRequest(), L"If-Range: Sun, 06 Nov 1994 08:49:37 GMT\r\n"));
    EXPECT_EQ(Held(), body);

    // No validator at all: the bytes are not asked to be continued, and no
    // record is left to say they could be.
    ResetPartial();
    Answer bare = Whole(body, nullptr);
    bare.body = {Bytes(body.substr(0, 1000))};
    m_engine.answers = {bare, Whole(body, nullptr)};
    ASSERT_EQ(Attempt().failure, FAILURE_CUT);
    EXPECT_FALSE(m_target.bRecordOnDisk);
    EXPECT_FALSE(test::FileExists(m_target.strRecordPath));
    ASSERT_EQ(Attempt().failure, FAILURE_NONE);
    EXPECT_FALSE(Asks(LastRequest(), L"Range"));
    EXPECT_EQ(Held(), body);

    // And a task that may not resume never asks, whatever it holds.
    m_target.bMayResume = false;
    m_engine.answers = {Whole(body)};
    ASSERT_EQ(Attempt().failure, FAILURE_NONE);
    EXPECT_FALSE(Asks(LastRequest(), L"Range"));
    EXPECT_FALSE(test::FileExists(m_target.strRecordPath));
}

TEST_F(TransferTest, StatusesTheBodyCannotBeUsedFromEndTheAttemptWithTheServersWait) {
    Answer busy;
    busy.dwStatus = 503;
    busy.strHeaders = L"Retry-After: 7\r\nContent-Length: 5\r\n";
    busy.body = {Bytes("later")};
    Answer gone;
    gone.dwStatus = 404;
    Answer unasked = Part(Content(100), 0, 100);
    m_engine.answers = {busy, gone, unasked};
    AttemptResult result = Attempt();
    EXPECT_EQ(result.failure, FAILURE_STATUS);
    EXPECT_EQ(result.dwStatus, 503u);
    EXPECT_EQ(result.nRetryAfterMs, 7000);
    EXPECT_EQ(Held(), "") << "an error page is never written";
    result = Attempt();
    EXPECT_EQ(result.failure, FAILURE_STATUS);
    EXPECT_EQ(result.dwStatus, 404u);
    EXPECT_EQ(result.nRetryAfterMs, -1);
    EXPECT_EQ(Attempt().failure, FAILURE_PROTOCOL) << "a part never asked for";
    EXPECT_EQ(Held(), "");
}

TEST_F(TransferTest, RedirectsAreFollowedWithTheRangeUpToTenAndNeverDownFromHttps) {
    const std::string body = Content(2000);
    Answer cut = Whole(body);
    cut.body = {Bytes(body.substr(0, 500))};
    Answer moved;
    moved.dwStatus = 302;
    moved.strHeaders = L"Location: /mirror/level1.pak\r\n";
    m_engine.answers = {cut, moved, Part(body.substr(500), 500, 2000)};
    ASSERT_EQ(Attempt().failure, FAILURE_CUT);
    ASSERT_EQ(Attempt().failure, FAILURE_NONE);
    ASSERT_EQ(m_engine.requests.size(), 3u);
    EXPECT_EQ(LastRequest().strUrl, L"http://cdn.example/mirror/level1.pak");
    EXPECT_TRUE(Asks(LastRequest(), L"Range: bytes=500-"));
    EXPECT_EQ(Held(), body);

    // Ten redirects are followed; the eleventh ends the attempt.
    for (int redirects : {10, 11}) {
        SCOPED_TRACE(redirects);
        ResetPartial();
        m_engine.answers.clear();
        for (int i = 0; i < redirects; ++i) {
            Answer loop;
            loop.dwStatus = i % 2 == 0 ? 301 : 307;
            loop.strHeaders = L"Location: http://cdn.example/loop" + std::to_wstring(i) + L"\r\n";
            m_engine.answers.push_back(loop);
        }
        m_engine.answers.push_back(Whole(body));
        EXPECT_EQ(Attempt().failure, redirects == 10 ? FAILURE_NONE : FAILURE_REDIRECTS);
    }
    // Never to another scheme, never from https down to http, never without a Location.
    for (const wchar_t* location : {L"file:///C:/windows/win.ini", L"ftp://cdn.example/x", L""}) {
        Answer bad;
        bad.dwStatus = 308;
        bad.strHeaders = std::wstring(L"Location: ") + location + L"\r\n";
        m_engine.answers = {bad};
        EXPECT_EQ(Attempt().failure, FAILURE_REDIRECTS) << testing::PrintToString(std::wstring(location));
    }
    Answer down;
    down.dwStatus = 301;
    down.strHeaders = L"Location: http://cdn.example/plain\r\n";
    m_engine.answers = {down};
    CTransfer secure(m_engine, TransferBounds(), m_system, m_activity);
    EXPECT_EQ(secure.Attempt(L"https://cdn.example/game/level1.pak", m_target).failure, FAILURE_REDIRECTS);
}

TEST_F(TransferTest, NothingArrivingForTheStallBoundEndsTheAttempt) {
    TransferBounds bounds;
    Answer silent = Whole(Content(100));
    silent.dwAnswerAfterMs = 60000;
    const ULONGLONG before = g_ullNow;
    m_engine.answers = {silent};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_STALLED);
    EXPECT_GE(g_ullNow - before, bounds.dwStallMs);
    EXPECT_LT(g_ullNow - before, bounds.dwStallMs + 1000);

    // In mid-body, counted from the last byte; a pause shorter than the
    // bound is no stall.
    Answer stalls = Whole(Content(3000));
    stalls.body = {Bytes(Content(1000)), Pause(9000), Bytes(Content(2000).substr(1000)), Pause(60000)};
    m_engine.answers = {stalls};
    const ULONGLONG started = g_ullNow;
    const AttemptResult result = Attempt(bounds);
    EXPECT_EQ(result.failure, FAILURE_STALLED);
    EXPECT_EQ(result.nHeld, 2000);
    EXPECT_GE(g_ullNow - started, 9000u + bounds.dwStallMs);
}

TEST_F(TransferTest, ARateBelowTheMinimumOverTheLastWindowEndsTheAttemptWhateverCameBefore) {
    // A megabyte at once, then one byte every five seconds: its average
    // since the start stays above 4 KB/s for minutes, its last window not.
    TransferBounds bounds;
    Answer trickle = Whole(std::string(1 << 20, 'x') + std::string(100, 'y'));
    trickle.body = {Bytes(std::string(1 << 20, 'x'))};
    for (int i = 0; i < 100; ++i) {
        trickle.body.push_back(Pause(5000));
        trickle.body.push_back(Bytes("y"));
    }
    m_engine.answers = {trickle};
    const ULONGLONG started = g_ullNow;
    const AttemptResult result = Attempt(bounds);
    EXPECT_EQ(result.failure, FAILURE_TOO_SLOW);
    EXPECT_GE(g_ullNow - started, bounds.dwRateWindowMs);
    EXPECT_LE(g_ullNow - started, bounds.dwRateWindowMs * 3 / 2);

    // A steady body just above the minimum goes on past many windows.
    Answer steady = Whole(Content(200 * 6000));
    steady.body.clear();
    for (int i = 0; i < 200; ++i) {
        steady.body.push_back(Bytes(Content(6000)));
        steady.body.push_back(Pause(1000));
    }
    m_engine.answers = {steady};
    ResetPartial();
    m_target.bMayResume = false;
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_NONE);
}

TEST_F(TransferTest, ABodyWithoutALengthStopsAtTheDisksReserveAndAnAnnouncedOneMustFitWhole) {
    TransferBounds bounds;
    bounds.nDiskReserveBytes = 100000;
    g_nFreeBefore = bounds.nDiskReserveBytes + 250000;
    Answer endless;
    for (int i = 0; i < 100; ++i) {
        endless.body.push_back(Bytes(Content(8192)));
    }
    m_engine.answers = {endless};
    const AttemptResult result = Attempt(bounds);
    EXPECT_EQ(result.failure, FAILURE_DISK);
    // Never a byte past the reserve.
    EXPECT_LE(static_cast<int64_t>(Held().size()), g_nFreeBefore - bounds.nDiskReserveBytes);
    EXPECT_GE(Held().size(), 250000u - 8192);

    // An announced length larger than the room fails before a byte is written.
    Answer huge;
    huge.strHeaders = L"Content-Length: 4611686018427387904\r\nETag: \"big\"\r\n";
    huge.body = {Bytes(Content(1000))};
    m_engine.answers = {huge};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_DISK);
    EXPECT_EQ(Held(), "");
    // One that fits may use the room down to the last byte.
    g_nFreeBefore = 5000;
    m_engine.answers = {Whole(Content(5000))};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_NONE);
    // A body longer than it announced keeps nothing of the excess.
    g_nFreeBefore = int64_t{1} << 40;
    Answer longer = Whole(Content(1000));
    longer.body = {Bytes(Content(1500))};
    m_engine.answers = {longer};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_DISK);
    EXPECT_LE(Held().size(), 1000u);
}

TEST_F(TransferTest, TheTasksCapHoldsAnnouncedOrNot) {
    TransferBounds bounds;
    bounds.nMaxBytes = 1000;
    m_engine.answers = {Whole(Content(1001))};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_SIZE);
    EXPECT_EQ(Held(), "") << "refused before a byte";
    Answer unannounced;
    unannounced.body = {Bytes(Content(600)), Bytes(Content(401))};
    m_engine.answers = {unannounced};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_SIZE);
    EXPECT_LE(Held().size(), 1000u);
    Answer exact;
    exact.body = {Bytes(Content(600)), Bytes(Content(1000).substr(600))};
    m_engine.answers = {exact};
    EXPECT_EQ(Attempt(bounds).failure, FAILURE_NONE);
    EXPECT_EQ(Held(), Content(1000));
}

TEST_F(TransferTest, AnEncodedBodyIsDecodedAndNeverResumed) {
    const char gzipped[] = "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\x54\x48\xca\x4f\xa9\x54\x28\xc9\x48\x2c"
                           "\x51\x48\x4e\xcc\x4d\x55\x48\xaf\xca\x2c\xd0\x4d\xcd\x4b\xce\x4f\x49\x4d\xe1\x4a\xa4"
                           "\x40\x16\x00\x12\x8c\x38\x8f\x5a\x00\x00\x00";
    const std::string encoded(gzipped, sizeof(gzipped) - 1);
    std::string decoded;
    for (int i = 0; i < 3; ++i) {
        decoded += "a body that came gzip-encoded\n";
    }
    Answer answer;
    answer.strHeaders =
        L"Content-Encoding: gzip\r\nContent-Length: " + std::to_wstring(encoded.size()) + L"\r\nETag: \"gz\"\r\n";
    answer.body = {Bytes(encoded.substr(0, 20)), Bytes(encoded.substr(20))};
    m_engine.answers = {answer};
    EXPECT_EQ(Attempt().failure, FAILURE_NONE);
    EXPECT_EQ(Held(), decoded);
    EXPECT_FALSE(test::FileExists(m_target.strRecordPath)) << "decoded bytes are no range of the encoded body";

    // Cut: the decoder knows it even without a length.
    answer.strHeaders = L"Content-Encoding: gzip\r\n";
    answer.body = {Bytes(encoded.substr(0, 30))};
    m_engine.answers = {answer};
    EXPECT_EQ(Attempt().failure, FAILURE_CUT);
    answer.body = {Bytes(encoded.substr(0, 10) + "garbage that inflates to nothing")};
    m_engine.answers = {answer};
    EXPECT_EQ(Attempt().failure, FAILURE_PROTOCOL);
    answer.strHeaders = L"Content-Encoding: br\r\n";
    m_engine.answers = {answer};
    EXPECT_EQ(Attempt().failure, FAILURE_PROTOCOL) << "an encoding this program cannot read";
}

TEST_F(TransferTest, EngineFailuresBecomeTheFailuresTheRetriesKnow) {
    struct Row {
        CHttpEngine::Error error;
        TransferFailure failure;
    };
    for (const Row& row :
         {Row{CHttpEngine::ERROR_CONNECT, FAILURE_CONNECT}, Row{CHttpEngine::ERROR_BROKEN, FAILURE_RESET},
          Row{CHttpEngine::ERROR_CERTIFICATE, FAILURE_CERTIFICATE}, Row{CHttpEngine::ERROR_URL, FAILURE_UNSAFE_URL},
          Row{CHttpEngine::ERROR_OTHER, FAILURE_PROTOCOL}}) {
        Answer failed;
        failed.failure = row.error;
        m_engine.answers = {failed};
        EXPECT_EQ(Attempt().failure, row.failure) << "engine error " << row.error;
    }
    // Broken in mid-body: the bytes that came stay.
    Answer broken = Whole(Content(3000));
    broken.body = {Bytes(Content(1200)), Broken()};
    m_engine.answers = {broken};
    const AttemptResult result = Attempt();
    EXPECT_EQ(result.failure, FAILURE_RESET);
    EXPECT_EQ(result.nHeld, 1200);
    EXPECT_EQ(Held(), Content(1200));
    // Nothing but web addresses is ever asked for.
    CTransfer transfer(m_engine, TransferBounds(), m_system, m_activity);
    const size_t asked = m_engine.requests.size();
    EXPECT_EQ(transfer.Attempt(L"file:///C:/windows/win.ini", m_target).failure, FAILURE_UNSAFE_URL);
    EXPECT_EQ(m_engine.requests.size(), asked);
}

} // namespace
