#include "base/unique_handle.h"

#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

// An open search holds its folder open, shared with everyone: an exclusive
// open of the folder then fails with a sharing violation.
bool FolderHeldOpen(const std::wstring& folder) {
    const base::unique_file exclusive(
        ::CreateFileW(folder.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const DWORD error = ::GetLastError();
    return !exclusive && error == ERROR_SHARING_VIOLATION;
}

} // namespace

// A search is empty as INVALID_HANDLE_VALUE, never as null, and is ended by
// its owner exactly once: by reset or at the end of its scope, and not by a
// moved-from or released owner.
TEST(UniqueFindTest, OwnsOneSearchAndEndsItOnce) {
    const test::CTempFolder folder;
    ASSERT_TRUE(test::WriteFileBytes(folder.File(L"a.txt"), "a"));
    ASSERT_TRUE(test::WriteFileBytes(folder.File(L"b.txt"), "b"));
    const std::wstring pattern = folder.File(L"*.txt");

    const base::unique_find none;
    EXPECT_FALSE(none);
    EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
    WIN32_FIND_DATAW found;
    const base::unique_find missing(::FindFirstFileW(folder.File(L"missing\\*").c_str(), &found));
    EXPECT_FALSE(missing);

    ASSERT_FALSE(FolderHeldOpen(folder.Path()));
    base::unique_find search(::FindFirstFileW(pattern.c_str(), &found));
    ASSERT_TRUE(search);
    EXPECT_TRUE(FolderHeldOpen(folder.Path()));
    std::set<std::wstring> names = {found.cFileName};

    base::unique_find moved(std::move(search));
    EXPECT_FALSE(search);
    ASSERT_TRUE(moved);
    // The search goes on where it was: the move handed over the same one.
    ASSERT_TRUE(::FindNextFileW(moved.get(), &found));
    names.insert(found.cFileName);
    EXPECT_EQ(names, (std::set<std::wstring>{L"a.txt", L"b.txt"}));
    moved.reset();
    EXPECT_FALSE(moved);
    EXPECT_FALSE(FolderHeldOpen(folder.Path()));

    // Released, the search is the caller's: still open, and its FindClose the only one.
    HANDLE raw = INVALID_HANDLE_VALUE;
    {
        base::unique_find owner(::FindFirstFileW(pattern.c_str(), &found));
        ASSERT_TRUE(owner);
        raw = owner.release();
        EXPECT_FALSE(owner);
    }
    EXPECT_TRUE(FolderHeldOpen(folder.Path()));
    EXPECT_TRUE(::FindNextFileW(raw, &found));
    EXPECT_TRUE(::FindClose(raw));
    EXPECT_FALSE(FolderHeldOpen(folder.Path()));

    {
        const base::unique_find scoped(::FindFirstFileW(pattern.c_str(), &found));
        ASSERT_TRUE(scoped);
        EXPECT_TRUE(FolderHeldOpen(folder.Path()));
    }
    EXPECT_FALSE(FolderHeldOpen(folder.Path()));
}
