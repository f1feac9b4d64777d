#include "download/partial_files.h"

#include "download_test_support.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <string>

#include <windows.h>

namespace {

// Partial files on their own, without a worker or a server.
class PartialFilesTest : public ::testing::Test {
protected:
    test::CTempFolder m_folder;
};

TEST_F(PartialFilesTest, PlacingAFileReplacesTheTargetInOneStepOrLeavesItAsItWas) {
    const std::wstring target = m_folder.File(L"placed.bin");
    ASSERT_TRUE(test::WriteFileBytes(target, "old"));
    ASSERT_TRUE(test::WriteFileBytes(PartialPathOf(target), "new"));
    EXPECT_TRUE(PlaceDownloadedFile(PartialPathOf(target)));
    EXPECT_EQ(test::ReadFileBytes(target), "new");
    EXPECT_FALSE(test::FileExists(PartialPathOf(target)));

    // Into a place that did not exist yet.
    const std::wstring fresh = m_folder.File(L"fresh.bin");
    ASSERT_TRUE(test::WriteFileBytes(PartialPathOf(fresh), "fresh"));
    EXPECT_TRUE(PlaceDownloadedFile(PartialPathOf(fresh)));
    EXPECT_EQ(test::ReadFileBytes(fresh), "fresh");

    // A read-only file and a folder are not replaced; the partial file goes.
    const std::wstring readOnly = m_folder.File(L"readonly.bin");
    ASSERT_TRUE(test::WriteFileBytes(readOnly, "kept"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring folder = m_folder.File(L"folder.bin");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (const std::wstring& path : {readOnly, folder}) {
        ASSERT_TRUE(test::WriteFileBytes(PartialPathOf(path), "new"));
        EXPECT_FALSE(PlaceDownloadedFile(PartialPathOf(path)));
        EXPECT_FALSE(test::FileExists(PartialPathOf(path)));
    }
    EXPECT_EQ(test::ReadFileBytes(readOnly), "kept");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_NE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // Only a partial file is ever moved: any other path is refused untouched.
    for (const std::wstring& other : {target, target + L".rvpart", target + L"..rvpart", target + L".12x.rvpart"}) {
        ASSERT_TRUE(other == target || test::WriteFileBytes(other, "other"));
        EXPECT_FALSE(PlaceDownloadedFile(other)) << testing::PrintToString(other);
        EXPECT_TRUE(test::FileExists(other));
    }
    EXPECT_EQ(test::ReadFileBytes(target), "new");

    ASSERT_TRUE(test::WriteFileBytes(PartialPathOf(target), "unwanted"));
    DiscardDownloadedFile(PartialPathOf(target));
    EXPECT_FALSE(test::FileExists(PartialPathOf(target)));
    EXPECT_EQ(test::ReadFileBytes(target), "new");
}

// A process that stays alive until the end of the test: this test program
// itself, started suspended and never resumed.
class CIdleProcess {
public:
    CIdleProcess() {
        WCHAR self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &m_info);
    }
    ~CIdleProcess() {
        if (m_info.hProcess != nullptr) {
            TerminateProcess(m_info.hProcess, 0);
            CloseHandle(m_info.hThread);
            CloseHandle(m_info.hProcess);
        }
    }
    CIdleProcess(const CIdleProcess&) = delete;
    CIdleProcess& operator=(const CIdleProcess&) = delete;
    DWORD Id() const { return m_info.dwProcessId; }

private:
    PROCESS_INFORMATION m_info = {};
};

// Refuses to open one process, as Windows refuses to open another user's
// process or an elevated one; Wine opens every process of the prefix.
class CRefusingLeftovers : public CLeftoverPartialFiles {
public:
    static DWORD s_refusedId;
    CRefusingLeftovers() { m_pfnOpenProcess = Open; }

private:
    static HANDLE WINAPI Open(DWORD access, BOOL inherit, DWORD id) {
        if (id == s_refusedId) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return OpenProcess(access, inherit, id);
    }
};
DWORD CRefusingLeftovers::s_refusedId = 0;

TEST_F(PartialFilesTest, OnlyTheTargetsOwnPartialFilesOfProcessesKnownToBeGoneAreLeftovers) {
    const CIdleProcess running;
    ASSERT_NE(running.Id(), 0u);
    // An id no process has, so that only the refusal keeps its file.
    CRefusingLeftovers::s_refusedId = 4294967276u;

    const std::wstring target = m_folder.File(L"a.bin");
    // 4294967292 and the like: ids no process has.
    const std::wstring gone[] = {target + L".4294967292.rvpart", m_folder.File(L"A.BIN.4294967288.rvpart")};
    const std::wstring kept[] = {
        target + L"." + std::to_wstring(running.Id()) + L".rvpart", // a running process's
        target + L".4294967276.rvpart",                             // one that cannot be asked
        PartialPathOf(target),                                      // this run's own, waiting to be placed
        target + L".04294967292.rvpart",                            // no name this program writes
        target + L".44294967292.rvpart",
        target + L".4294967284.rvpart",            // read-only: someone keeps it
        m_folder.File(L"b.bin.4294967292.rvpart"), // of a target not written now
        m_folder.File(L"cache.7.rvpart"),          // a file of the package with such a name
        m_folder.File(L"a.bin.rvpart"),
        m_folder.File(L"sub\\a.bin.4294967292.rvpart"), // another folder's
    };
    const std::wstring folderNamedLikeALeftover = target + L".4294967280.rvpart";
    ASSERT_TRUE(CreateDirectoryW(m_folder.File(L"sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folderNamedLikeALeftover.c_str(), nullptr));
    for (const std::wstring& path : gone) {
        ASSERT_TRUE(test::WriteFileBytes(path, "left")) << testing::PrintToString(path);
    }
    for (const std::wstring& path : kept) {
        ASSERT_TRUE(test::WriteFileBytes(path, "kept")) << testing::PrintToString(path);
    }
    ASSERT_TRUE(SetFileAttributesW(kept[5].c_str(), FILE_ATTRIBUTE_READONLY));

    CRefusingLeftovers leftovers;
    leftovers.RemoveFor(target);
    for (const std::wstring& path : gone) {
        EXPECT_FALSE(test::FileExists(path)) << testing::PrintToString(path);
    }
    for (const std::wstring& path : kept) {
        EXPECT_EQ(test::ReadFileBytes(path), "kept") << testing::PrintToString(path);
    }
    EXPECT_NE(GetFileAttributesW(folderNamedLikeALeftover.c_str()), INVALID_FILE_ATTRIBUTES);
    SetFileAttributesW(kept[5].c_str(), FILE_ATTRIBUTE_NORMAL);

    // Another spelling of the same folder is the same folder, and names one
    // target as Windows would.
    const std::wstring other = m_folder.File(L"d.bin");
    ASSERT_TRUE(test::WriteFileBytes(other + L".4294967292.rvpart", "left"));
    CLeftoverPartialFiles fresh;
    fresh.RemoveFor(m_folder.File(L"b.bin"));
    EXPECT_FALSE(test::FileExists(kept[6]));
    fresh.RemoveFor(test::UpperCase(m_folder.Path()) + L"\\.\\sub\\..\\D.BIN");
    EXPECT_FALSE(test::FileExists(other + L".4294967292.rvpart"));
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(target)), "kept");
}

// The short (8.3) name the file system gives path, which must exist;
// empty when it gives none.
std::wstring ShortPathOf(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(buffer, length);
}

// A file the package lists is never a leftover, whatever its name looks
// like and however the list spells it (a short name, another case), even
// when it is named after the very file being fetched beside it.
TEST_F(PartialFilesTest, ProtectedFilesAreNeverLeftoversUnderAnySpelling) {
    ASSERT_TRUE(CreateDirectoryW(m_folder.File(L"long folder name").c_str(), nullptr));
    const std::wstring target = m_folder.File(L"long folder name\\cache");
    const std::wstring lookAlikes[] = {target + L".7.rvpart", target + L".4294967292.rvpart",
                                       target + L".4294967288.rvinfo"};
    const std::wstring left = target + L".4294967284.rvpart";
    for (const std::wstring& path : lookAlikes) {
        ASSERT_TRUE(test::WriteFileBytes(path, "listed")) << testing::PrintToString(path);
    }
    ASSERT_TRUE(test::WriteFileBytes(left, "left"));
    const std::wstring shortName = ShortPathOf(lookAlikes[0]);
    ASSERT_FALSE(shortName.empty());
    ASSERT_NE(test::UpperCase(shortName), test::UpperCase(lookAlikes[0])) << "no short name to test with";
    const std::wstring shortFolder = ShortPathOf(m_folder.File(L"long folder name"));
    ASSERT_NE(test::UpperCase(shortFolder), test::UpperCase(m_folder.File(L"long folder name")));

    CLeftoverPartialFiles leftovers;
    leftovers.Protect({shortName, test::UpperCase(lookAlikes[1]),
                       shortFolder + L"\\" + lookAlikes[2].substr(lookAlikes[2].rfind(L'\\') + 1)});
    // Asked about by a spelling of its own, through the folder's short name.
    leftovers.RemoveFor(shortFolder + L"\\cache");
    for (const std::wstring& path : lookAlikes) {
        EXPECT_EQ(test::ReadFileBytes(path), "listed") << testing::PrintToString(path);
    }
    EXPECT_FALSE(test::FileExists(left)) << "a real leftover beside them stays";
}

} // namespace

namespace {

ResumeRecord RecordOf(const std::wstring& target, const wchar_t* md5 = L"0123456789abcdef0123456789abcdef") {
    ResumeRecord record;
    record.strTarget = target;
    record.strMd5 = md5;
    record.strUrl = L"http://cdn.example/a.bin";
    record.strValidator = L"\"v1\"";
    record.nTotal = 1000;
    return record;
}

TEST_F(PartialFilesTest, AMatchingLeftoverIsTakenOverAndEveryOtherOneRemoved) {
    const CIdleProcess running;
    ASSERT_NE(running.Id(), 0u);
    const std::wstring target = m_folder.File(L"a.bin");
    const std::wstring own = PartialPathOf(target);
    const auto leave = [&](const std::wstring& id, const std::string& bytes, const ResumeRecord* record) {
        const std::wstring partial = target + L"." + id + L".rvpart";
        EXPECT_TRUE(test::WriteFileBytes(partial, bytes));
        if (record != nullptr) {
            EXPECT_TRUE(WriteResumeRecord(RecordPathOf(partial), *record));
        }
        return partial;
    };
    const ResumeRecord wanted = RecordOf(test::UpperCase(target)); // Windows compares names without case
    const ResumeRecord otherDigest = RecordOf(target, L"ffffffffffffffffffffffffffffffff");
    const std::wstring smaller = leave(L"4294967292", std::string(300, 's'), &wanted);
    const std::wstring bigger = leave(L"4294967288", std::string(600, 'b'), &wanted);
    const std::wstring mismatched = leave(L"4294967284", std::string(900, 'm'), &otherDigest);
    const std::wstring bare = leave(L"4294967280", std::string(800, 'n'), nullptr);
    const std::wstring alive = leave(std::to_wstring(running.Id()), std::string(700, 'r'), &wanted);
    // A record whose partial file is gone, and one that holds more than the whole.
    const std::wstring orphan = target + L".4294967276.rvinfo";
    ASSERT_TRUE(WriteResumeRecord(orphan, wanted));
    ResumeRecord shorter = wanted;
    shorter.nTotal = 10;
    const std::wstring overlong = leave(L"4294967272", std::string(950, 'o'), &shorter);

    CLeftoverPartialFiles leftovers;
    ResumeRecord taken;
    ASSERT_TRUE(leftovers.TakeOverFor(target, wanted, own, taken));
    // The one with the most bytes, moved under this process's name.
    EXPECT_EQ(test::ReadFileBytes(own), std::string(600, 'b'));
    EXPECT_EQ(taken.strValidator, L"\"v1\"");
    EXPECT_EQ(taken.nTotal, 1000);
    for (const std::wstring& path : {smaller, bigger, mismatched, bare, overlong}) {
        EXPECT_FALSE(test::FileExists(path)) << testing::PrintToString(path);
        EXPECT_FALSE(test::FileExists(RecordPathOf(path))) << testing::PrintToString(path);
    }
    EXPECT_FALSE(test::FileExists(orphan));
    // A process that may still be writing keeps its files.
    EXPECT_TRUE(test::FileExists(alive));
    EXPECT_TRUE(test::FileExists(RecordPathOf(alive)));

    // Asked again for the same target (another task of one run), nothing is taken twice.
    ResumeRecord again;
    EXPECT_FALSE(leftovers.TakeOverFor(target, wanted, own, again));
    EXPECT_EQ(test::ReadFileBytes(own), std::string(600, 'b'));
}

TEST_F(PartialFilesTest, OfTwoRunsThatFindOneLeftoverOnlyOneTakesItOver) {
    const std::wstring target = m_folder.File(L"shared.bin");
    const ResumeRecord wanted = RecordOf(target);
    const std::wstring leftover = target + L".4294967292.rvpart";
    ASSERT_TRUE(test::WriteFileBytes(leftover, std::string(500, 'x')));
    ASSERT_TRUE(WriteResumeRecord(RecordPathOf(leftover), wanted));
    // Each run has read the folder before either moved the file.
    CLeftoverPartialFiles first;
    CLeftoverPartialFiles second;
    first.RemoveFor(m_folder.File(L"other.bin"));
    second.RemoveFor(m_folder.File(L"other.bin"));
    ResumeRecord taken;
    const std::wstring firstOwn = target + L".4294967200.rvpart";
    const std::wstring secondOwn = target + L".4294967196.rvpart";
    const bool firstTook = first.TakeOverFor(target, wanted, firstOwn, taken);
    const bool secondTook = second.TakeOverFor(target, wanted, secondOwn, taken);
    EXPECT_TRUE(firstTook);
    EXPECT_FALSE(secondTook);
    EXPECT_EQ(test::ReadFileBytes(firstOwn), std::string(500, 'x'));
    EXPECT_FALSE(test::FileExists(secondOwn));
}

} // namespace
