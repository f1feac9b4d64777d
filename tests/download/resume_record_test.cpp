#include "download/resume_record.h"

#include "download/partial_files.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ResumeRecord Sample() {
    ResumeRecord record;
    record.strTarget = L"C:\\Games\\Ünïcode\\data\\level1.pak";
    record.strMd5 = L"0123456789abcdef0123456789ABCDEF";
    record.strUrl = L"http://cdn.example/game/data/level1.pak?token=1";
    record.strValidator = L"\"5f3a-1b\"";
    record.nTotal = 5000000000LL;
    return record;
}

TEST(ResumeRecordTest, ARecordReadsBackAsItWasWritten) {
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"level1.pak.77.rvinfo");
    ASSERT_TRUE(WriteResumeRecord(path, Sample()));
    ResumeRecord read;
    ASSERT_TRUE(ReadResumeRecord(path, read));
    EXPECT_EQ(read.strTarget, Sample().strTarget);
    EXPECT_EQ(read.strMd5, Sample().strMd5);
    EXPECT_EQ(read.strUrl, Sample().strUrl);
    EXPECT_EQ(read.strValidator, Sample().strValidator);
    EXPECT_EQ(read.nTotal, Sample().nTotal);

    // A second write replaces the first whole.
    ResumeRecord shorter = Sample();
    shorter.strUrl = L"http://x/y";
    ASSERT_TRUE(WriteResumeRecord(path, shorter));
    ASSERT_TRUE(ReadResumeRecord(path, read));
    EXPECT_EQ(read.strUrl, L"http://x/y");

    EXPECT_EQ(RecordPathOf(L"C:\\a\\b.pak.77.rvpart"), L"C:\\a\\b.pak.77.rvinfo");
    EXPECT_EQ(RecordPathOf(L"C:\\a\\b.pak"), L"");
}

TEST(ResumeRecordTest, OnlyAWholeRecordOfThisFormatIsRead) {
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"r.rvinfo");
    ASSERT_TRUE(WriteResumeRecord(path, Sample()));
    const std::string bytes = test::ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 40u);
    ResumeRecord read;
    // Cut anywhere, as a run killed while it wrote it leaves it.
    for (size_t length = 0; length < bytes.size(); ++length) {
        ASSERT_TRUE(test::WriteFileBytes(path, bytes.substr(0, length)));
        EXPECT_FALSE(ReadResumeRecord(path, read)) << "cut at " << length;
    }
    const auto readsWith = [&](std::string changed) {
        EXPECT_TRUE(test::WriteFileBytes(path, changed));
        return ReadResumeRecord(path, read);
    };
    EXPECT_FALSE(readsWith(bytes + "x")) << "a byte after the record";
    std::string magic = bytes;
    magic[0] = 'X';
    EXPECT_FALSE(readsWith(magic));
    std::string version = bytes;
    version[8] = 2;
    EXPECT_FALSE(readsWith(version));
    // A text count that runs past the file, or past its bound.
    std::string count = bytes;
    const uint32_t huge = 0x7FFFFFFF;
    std::memcpy(&count[12], &huge, sizeof(huge));
    EXPECT_FALSE(readsWith(count));
    EXPECT_FALSE(readsWith(std::string(300 * 1024, 'R'))) << "bigger than any record";
    EXPECT_FALSE(ReadResumeRecord(folder.File(L"none.rvinfo"), read));
    EXPECT_TRUE(readsWith(bytes));
}

TEST(ResumeRecordTest, AnIncompleteRecordIsNeverWritten) {
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"r.rvinfo");
    ResumeRecord record = Sample();
    record.strMd5 = L"not a digest";
    EXPECT_FALSE(WriteResumeRecord(path, record));
    record = Sample();
    record.strValidator.clear();
    EXPECT_FALSE(WriteResumeRecord(path, record));
    record = Sample();
    record.nTotal = -1;
    EXPECT_FALSE(WriteResumeRecord(path, record));
    record = Sample();
    record.strUrl = std::wstring(L"http://x/\0y", 11);
    EXPECT_FALSE(WriteResumeRecord(path, record)) << "a text with a terminator inside";
    EXPECT_FALSE(test::FileExists(path));
}

TEST(ResumeRecordTest, ARecordMatchesTheSameTargetDigestAndUrlOnly) {
    const ResumeRecord record = Sample();
    EXPECT_TRUE(RecordMatches(record, L"c:\\games\\üNÏCODE\\DATA\\level1.PAK", L"0123456789ABCDEF0123456789abcdef",
                              record.strUrl));
    EXPECT_FALSE(RecordMatches(record, L"C:\\Games\\data\\level1.pak", record.strMd5, record.strUrl));
    EXPECT_FALSE(RecordMatches(record, record.strTarget, L"1123456789abcdef0123456789abcdef", record.strUrl));
    // A URL is compared as it is: another letter case may name another file.
    EXPECT_FALSE(
        RecordMatches(record, record.strTarget, record.strMd5, L"http://cdn.example/game/data/LEVEL1.pak?token=1"));
    EXPECT_FALSE(RecordMatches(record, record.strTarget, record.strMd5, L"http://cdn.example/game/data/level1.pak"));
}

} // namespace
