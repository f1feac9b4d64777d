#include "config/file_list.h"

#include "config_test_support.h"

#include <gtest/gtest.h>

#include <ostream>

// Lets gtest print the items of a failing comparison.
bool operator==(const FileListItem& a, const FileListItem& b) {
    return a.FilePath == b.FilePath && a.url == b.url && a.md5 == b.md5 && a.opt == b.opt && a.CMD == b.CMD;
}
std::ostream& operator<<(std::ostream& out, const FileListItem& item) {
    return out << "{" << ToUtf8(item.FilePath) << " | " << ToUtf8(item.url) << " | " << ToUtf8(item.md5) << " | "
               << ToUtf8(item.opt) << " | " << ToUtf8(item.CMD) << "}";
}

namespace {

// "数据\存档.txt" and "新文件.txt": file names outside code page 1252.
const std::wstring kChineseFolder = L"\\\u6570\u636e";
const std::wstring kChineseSaved = kChineseFolder + L"\\\u5b58\u6863.txt";
const std::wstring kChineseNew = kChineseFolder + L"\\\u65b0\u6587\u4ef6.txt";

std::vector<std::wstring> Paths(const std::vector<FileListItem>& items) {
    std::vector<std::wstring> paths;
    for (const FileListItem& item : items) {
        paths.push_back(item.FilePath);
    }
    return paths;
}

// An entry element with the given attributes, values given as UTF-16 and
// written as UTF-8; one without a "url" gets a web address, as every entry
// of a usable list has.
std::string Entry(const std::vector<std::pair<std::string, std::wstring>>& attributes,
                  const std::string& element = "File") {
    std::string xml = "<" + element;
    bool hasUrl = false;
    for (const auto& attribute : attributes) {
        xml += " " + attribute.first + "=\"" + ToUtf8(attribute.second) + "\"";
        hasUrl = hasUrl || attribute.first == "url";
    }
    return xml + (hasUrl ? "" : " url=\"http://h/f\"") + "/>";
}

std::string Manifest(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FileList>\n" + entries + "\n</FileList>\n";
}

// Runs LoadFileList in a program of its own, placed in a temporary folder
// with the manifest beside it, against a target folder under it.
class FileListTest : public testing::Test {
protected:
    explicit FileListTest(const std::wstring& suffix = std::wstring())
        : m_folder(suffix), m_target(m_folder.Path() + L"\\game" + suffix) {
        test::WriteFileBytes(m_target + L"\\placeholder", "");
    }

    void WriteManifest(const std::string& xml) { test::WriteFileBytes(m_folder.Path() + L"\\FileList.xml", xml); }
    void WriteTargetFile(const std::wstring& filePath, const std::string& bytes) {
        test::WriteFileBytes(m_target + filePath, bytes);
    }
    ProbeOutput Load(int calls = 1) { return Load(m_target, calls); }
    ProbeOutput Load(const std::wstring& target, int calls = 1) {
        return RunProbe(m_folder.Path(), L"filelist \"" + target + L"\" " + std::to_wstring(calls));
    }

    test::CTempFolder m_folder;
    std::wstring m_target;
};

TEST_F(FileListTest, SortsEntriesIntoTheListsInDocumentOrder) {
    WriteTargetFile(L"\\data\\plain.pak", kTextAbc);
    WriteTargetFile(L"\\patch.exe", kTextDigest);
    WriteTargetFile(L"\\game.exe", kTextAbc);
    WriteManifest(Manifest(
        Entry({{"FilePath", L"\\setup.exe"},
               {"url", L"http://h/setup.exe"},
               {"md5", kMd5Abc},
               {"opt", L"run"},
               {"CMD", L"-silent"}}) +
        Entry({{"FilePath", L"\\data\\plain.pak"}, {"url", L"http://h/plain.pak"}, {"md5", kMd5Abc}, {"opt", L""}}) +
        Entry({{"FilePath", L"\\patch.exe"}, {"url", L"http://h/patch.exe"}, {"md5", kMd5Digest}, {"opt", L"DeLaY"}}) +
        Entry({{"FilePath", L"\\game.exe"},
               {"url", L"http://h/game.exe"},
               {"md5", kMd5Abc},
               {"opt", L"RUN"},
               {"CMD", L"-a b"}}) +
        Entry({{"FilePath", L"\\later.pak"}, {"url", L"http://h/later.pak"}, {"md5", kMd5Abc}, {"opt", L"DELAY"}})));

    const ProbeOutput output = Load();
    ASSERT_EQ(output.exitCode, 0u);
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    EXPECT_EQ(output.Items(L"download"),
              (std::vector<FileListItem>{{L"\\setup.exe", L"http://h/setup.exe", kMd5Abc, L"run", L"-silent"}}));
    // The up-to-date DELAY entry removed the first entry from the run list.
    EXPECT_EQ(output.Items(L"run"),
              (std::vector<FileListItem>{{L"\\patch.exe", L"http://h/patch.exe", kMd5Digest, L"DeLaY", L""},
                                         {L"\\game.exe", L"http://h/game.exe", kMd5Abc, L"RUN", L"-a b"}}));
    EXPECT_EQ(output.Items(L"delay"),
              (std::vector<FileListItem>{{L"\\later.pak", L"http://h/later.pak", kMd5Abc, L"DELAY", L""}}));
}

TEST_F(FileListTest, ComparesDigestsWithoutRegardToCase) {
    WriteTargetFile(L"\\upper.txt", kTextAbc);
    WriteTargetFile(L"\\wrong.txt", kTextAbc);
    std::wstring upper = kMd5Abc;
    for (wchar_t& c : upper) {
        c = towupper(c);
    }
    WriteManifest(Manifest(Entry({{"FilePath", L"\\upper.txt"}, {"md5", upper}}) +
                           Entry({{"FilePath", L"\\wrong.txt"}, {"md5", kMd5Digest}})));

    const ProbeOutput output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    EXPECT_EQ(Paths(output.Items(L"download")), std::vector<std::wstring>{L"\\wrong.txt"});
}

TEST_F(FileListTest, ReadsEveryChildElementAndSkipsOtherNodes) {
    WriteManifest(
        Manifest(Entry({{"FilePath", L"\\a.txt"}, {"md5", kMd5Abc}}) + "<!-- a comment between entries -->some text" +
                 Entry({{"FilePath", L"\\b.txt"}, {"md5", kMd5Abc}}, "Other") +
                 "<File FilePath=\"\\c.txt\" url=\"http://h/c\" md5=\"x\"><Inner FilePath=\"\\d.txt\"/></File>"));

    const ProbeOutput output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    EXPECT_EQ(Paths(output.Items(L"download")), (std::vector<std::wstring>{L"\\a.txt", L"\\b.txt", L"\\c.txt"}));
}

TEST_F(FileListTest, EachCallAddsTheEntriesAgain) {
    WriteManifest(Manifest(Entry({{"FilePath", L"\\a.txt"}, {"md5", kMd5Abc}, {"opt", L"RUN"}}) +
                           Entry({{"FilePath", L"\\b.txt"}, {"md5", kMd5Abc}, {"opt", L"DELAY"}})));

    const ProbeOutput output = Load(2);
    EXPECT_EQ(output.Loaded(), (std::vector<bool>{true, true}));
    EXPECT_EQ(Paths(output.Items(L"download")), (std::vector<std::wstring>{L"\\a.txt", L"\\a.txt"}));
    EXPECT_EQ(Paths(output.Items(L"run")), (std::vector<std::wstring>{L"\\a.txt", L"\\a.txt"}));
    EXPECT_EQ(Paths(output.Items(L"delay")), (std::vector<std::wstring>{L"\\b.txt", L"\\b.txt"}));
}

TEST_F(FileListTest, AnUpToDateDelayEntryAlsoClearsRunEntriesOfEarlierCalls) {
    WriteTargetFile(L"\\b.txt", kTextAbc);
    WriteManifest(Manifest(Entry({{"FilePath", L"\\a.txt"}, {"md5", kMd5Abc}, {"opt", L"RUN"}}) +
                           Entry({{"FilePath", L"\\b.txt"}, {"md5", kMd5Abc}, {"opt", L"DELAY"}})));

    const ProbeOutput output = Load(2);
    EXPECT_EQ(output.Loaded(), (std::vector<bool>{true, true}));
    EXPECT_EQ(Paths(output.Items(L"run")), std::vector<std::wstring>{L"\\b.txt"});
    EXPECT_EQ(Paths(output.Items(L"download")), (std::vector<std::wstring>{L"\\a.txt", L"\\a.txt"}));
}

// A short (8.3) name is one more spelling of an existing file, its own or a
// folder's on its way: one file for the duplicate rule, the first entry
// standing for both, and with two digests the list is unusable.
TEST_F(FileListTest, AShortNameAndItsLongNameAreOneFile) {
    WriteTargetFile(L"\\long folder name\\long file name.pak", kTextAbc);
    wchar_t shortPath[MAX_PATH] = {};
    const std::wstring longPath = m_target + L"\\long folder name\\long file name.pak";
    ASSERT_NE(GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH), 0u);
    // The short names of the last two parts (those of the temporary folder may be short too).
    const std::wstring shortened = shortPath;
    const size_t fileStart = shortened.rfind(L'\\');
    const size_t folderStart = shortened.rfind(L'\\', fileStart - 1);
    const std::wstring shortFilePath = shortened.substr(folderStart);
    const std::wstring shortFolder = shortened.substr(folderStart, fileStart - folderStart);
    ASSERT_NE(_wcsicmp(shortFilePath.c_str(), L"\\long folder name\\long file name.pak"), 0)
        << "no short name to test with";
    // Another digest under the short name: one of the two is wrong.
    WriteManifest(Manifest(Entry({{"FilePath", L"\\long folder name\\long file name.pak"}, {"md5", kMd5Abc}}) +
                           Entry({{"FilePath", shortFilePath}, {"md5", kMd5Digest}})));
    EXPECT_EQ(Load().Loaded(), std::vector<bool>{false});
    // Through the folder's short name only, a file not there yet.
    WriteManifest(Manifest(Entry({{"FilePath", L"\\long folder name\\new.pak"}, {"md5", kMd5Abc}}) +
                           Entry({{"FilePath", shortFolder + L"\\NEW.PAK"}, {"md5", kMd5Digest}})));
    EXPECT_EQ(Load().Loaded(), std::vector<bool>{false});

    // One digest: the first entry stands for both.
    WriteManifest(Manifest(Entry({{"FilePath", shortFolder + L"\\new.pak"}, {"md5", kMd5Abc}}) +
                           Entry({{"FilePath", L"\\long folder name\\new.pak"}, {"md5", kMd5Abc}}) +
                           Entry({{"FilePath", shortFilePath}, {"md5", kMd5Abc}}) +
                           Entry({{"FilePath", L"\\long folder name\\long file name.pak"}, {"md5", kMd5Abc}})));
    const ProbeOutput output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    EXPECT_EQ(Paths(output.Items(L"download")), std::vector<std::wstring>{shortFolder + L"\\new.pak"});
}

TEST_F(FileListTest, AttributeNamesAreMatchedWithCase) {
    WriteTargetFile(L"\\a.txt", kTextAbc);
    // Only FilePath is spelt right: the entry has no digest and no opt, so
    // the existing file is stale and nothing is to be run.
    WriteManifest(Manifest(
        Entry({{"FilePath", L"\\a.txt"}, {"url", L"http://h/a"}, {"MD5", kMd5Abc}, {"OPT", L"RUN"}, {"cmd", L"-x"}})));
    ProbeOutput output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    EXPECT_EQ(output.Items(L"download"), (std::vector<FileListItem>{{L"\\a.txt", L"http://h/a", L"", L"", L""}}));
    EXPECT_TRUE(output.Items(L"run").empty());

    // An address under "URL" is no address: the entry has none to fetch.
    WriteManifest(Manifest(Entry({{"FilePath", L"\\a.txt"}, {"URL", L"http://h/a"}, {"url", L""}})));
    output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{false});

    // Without its FilePath an entry would name the target folder itself.
    WriteManifest(Manifest(Entry({{"FilePath", L"\\a.txt"}}) + Entry({{"filepath", L"\\b.txt"}, {"md5", L""}})));
    output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{false});
    EXPECT_EQ(output.records.size(), 1u) << "no list may hold an entry";
}

TEST_F(FileListTest, UsableListsWithoutEntriesAddNothing) {
    for (const std::string& xml : {std::string("<FileList/>"), Manifest(""),
                                   std::string("\xef\xbb\xbf<FileList><!-- nothing yet --></FileList>")}) {
        WriteManifest(xml);
        const ProbeOutput output = Load();
        EXPECT_EQ(output.Loaded(), std::vector<bool>{true}) << xml;
        EXPECT_EQ(output.records.size(), 1u) << xml;
    }
}

TEST_F(FileListTest, UnreadableOrMalformedListsAreUnusable) {
    ProbeOutput output = Load(); // no FileList.xml at all
    EXPECT_EQ(output.Loaded(), std::vector<bool>{false});

    const std::string complete = Entry({{"FilePath", L"\\a.txt"}, {"opt", L"RUN"}});
    std::string deep = "<FileList>" + complete; // deep enough to overflow the parser's stack
    for (int i = 0; i < 30000; ++i) {
        deep += "<a>";
    }
    for (const std::string& xml :
         {std::string(), std::string("not xml at all"), std::string("<?xml version=\"1.0\"?><!-- only a comment -->"),
          "<FileList>" + complete + "<File FilePath=\"\\b.txt", "<FileList>" + complete, deep}) {
        WriteManifest(xml);
        output = Load();
        EXPECT_EQ(output.exitCode, 0u) << xml.substr(0, 80);
        EXPECT_EQ(output.Loaded(), std::vector<bool>{false}) << xml.substr(0, 80);
        EXPECT_EQ(output.records.size(), 1u) << "no list may hold an entry: " << xml.substr(0, 80);
    }
}

TEST_F(FileListTest, UnsafeFilePathsMakeTheWholeListUnusable) {
    const std::wstring unsafe[] = {
        L"\\..\\evil.exe", L"\\bin\\..\\..\\evil.exe", L"/../evil.exe", L"\\bin/../../evil.exe", L"\\.\\game.exe",
        L"C:\\evil.exe", L"C:evil.exe", L"\\game.exe:stream", L"\\\\server\\share\\evil.exe",
        L"//server/share/evil.exe", L"\\\\?\\C:\\evil.exe", L"//?/C:/evil.exe", L"\\\\.\\PhysicalDrive0", L"\\CON",
        L"\\nul.txt", L"\\bin\\Com1", L"\\lpt9.log", L"/aux", L"\\PRN .tar.gz", L"\\game.exe.", L"\\game.exe ",
        L"\\bin.\\game.exe", L"\\bin \\game.exe", L"\\bin\\\\game.exe", L"\\bin\\", L"\\", L"", L"\\game*.exe",
        // Plain names, but joined without a backslash they leave the folder:
        // "...\game2\evil.exe" and "...\gameevil.exe" are not inside "...\game".
        L"2\\evil.exe", L"evil.exe"};
    for (const std::wstring& filePath : unsafe) {
        // A RUN entry and an ordinary one before the bad entry: nothing of
        // the list may reach any list.
        WriteManifest(Manifest(Entry({{"FilePath", L"\\setup.exe"}, {"md5", kMd5Abc}, {"opt", L"RUN"}}) +
                               Entry({{"FilePath", L"\\data.pak"}, {"md5", kMd5Abc}}) +
                               Entry({{"FilePath", filePath}, {"md5", kMd5Abc}, {"opt", L"DELAY"}})));
        const ProbeOutput output = Load();
        EXPECT_EQ(output.Loaded(), std::vector<bool>{false}) << ToUtf8(filePath);
        EXPECT_EQ(output.records.size(), 1u) << "no list may hold an entry: " << ToUtf8(filePath);
    }
}

TEST_F(FileListTest, WithoutATargetFolderEveryListIsUnusable) {
    // The paths would start at the root of the current drive.
    WriteManifest(Manifest(Entry({{"FilePath", L"\\rv-config-test-missing\\a.txt"}, {"md5", kMd5Abc}})));
    ProbeOutput output = Load(L"");
    EXPECT_EQ(output.Loaded(), std::vector<bool>{false});
    EXPECT_EQ(output.records.size(), 1u) << "no list may hold an entry";

    WriteManifest("<FileList/>");
    output = Load(L"");
    EXPECT_EQ(output.Loaded(), std::vector<bool>{false});
}

TEST_F(FileListTest, Utf8ValuesComeThroughAndChineseFilesAreDigested) {
    WriteTargetFile(kChineseSaved, kTextAbc);
    const std::wstring cmd = L"-\u540d\u79f0=\u6d4b\u8bd5"; // "-名称=测试"
    WriteManifest(Manifest(Entry({{"FilePath", kChineseSaved}, {"md5", kMd5Abc}}) + Entry({{"FilePath", kChineseNew},
                                                                                           {"url", L"http://h/\u65b0"},
                                                                                           {"md5", kMd5Abc},
                                                                                           {"opt", L"run"},
                                                                                           {"CMD", cmd}})));
    const ProbeOutput output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    const std::vector<FileListItem> expected{{kChineseNew, L"http://h/\u65b0", kMd5Abc, L"run", cmd}};
    EXPECT_EQ(output.Items(L"download"), expected);
    EXPECT_EQ(output.Items(L"run"), expected);
}

// The program's folder and the target folder both carry characters that
// code page 1252 lacks ("游戏").
class ChineseFolderFileListTest : public FileListTest {
protected:
    ChineseFolderFileListTest() : FileListTest(L"_\u6e38\u620f") {}
};

TEST_F(ChineseFolderFileListTest, ReadsTheListAndDigestsTheFiles) {
    WriteTargetFile(L"\\bin\\game.exe", kTextAbc);
    WriteTargetFile(kChineseSaved, kTextDigest);
    WriteManifest(Manifest(Entry({{"FilePath", L"\\bin\\game.exe"}, {"md5", kMd5Abc}}) +
                           Entry({{"FilePath", kChineseSaved}, {"md5", kMd5Digest}}) +
                           Entry({{"FilePath", kChineseNew}, {"md5", kMd5Abc}})));
    const ProbeOutput output = Load();
    EXPECT_EQ(output.Loaded(), std::vector<bool>{true});
    EXPECT_EQ(Paths(output.Items(L"download")), std::vector<std::wstring>{kChineseNew});
}

TEST(IsPlainRelativePathTest, AcceptsPlainNames) {
    for (const wchar_t* filePath : {L"\\bin\\game.exe", L"bin\\game.exe", L"/bin/game.exe", L"\\a b\\c.d.e",
                                    L"\\.config\\x", L"\\con2", L"\\com10.txt", L"\\nulx.txt", L"\\x.txt"}) {
        EXPECT_TRUE(IsPlainRelativePath(filePath)) << ToUtf8(filePath);
    }
}

TEST(IsPlainRelativePathTest, RefusesEveryNameThatCouldLeaveTheFolderOrOpenADevice) {
    for (const wchar_t* filePath :
         {L"",           L"\\",           L"/",           L"..",         L"\\..",      L"\\a\\..",     L"\\a\\.\\b",
          L"\\a\\\\b",   L"\\a\\",        L"a/",          L"\\\\a",      L"C:\\a",     L"c:a",         L"\\a:b",
          L"\\a::$DATA", L"\\\\?\\C:\\a", L"\\\\.\\COM1", L"\\CON",      L"\\con.txt", L"\\Nul",       L"\\AUX.",
          L"\\prn.a.b",  L"\\NUL .txt",   L"\\com0",      L"\\COM9.log", L"\\lpt1",    L"\\LPT\u00b9", L"\\conin$",
          L"\\a.",       L"\\a ",         L"\\a...",      L"\\a<b",      L"\\a>b",     L"\\a\"b",      L"\\a|b",
          L"\\a?b",      L"\\a*b",        L"\\a\tb",      L"\\a\x01"}) {
        EXPECT_FALSE(IsPlainRelativePath(filePath)) << ToUtf8(filePath);
    }
}

TEST(IsPathInsideFolderTest, NeedsTheFolderFollowedByABackslash) {
    EXPECT_TRUE(IsPathInsideFolder(L"C:\\game", L"\\bin\\game.exe"));
    EXPECT_TRUE(IsPathInsideFolder(L"C:\\game\\", L"\\bin\\game.exe"));
    EXPECT_TRUE(IsPathInsideFolder(L"C:\\game", L"/bin/game.exe"));
    EXPECT_TRUE(IsPathInsideFolder(L"c:\\GAME", L"\\x"));
    EXPECT_TRUE(IsPathInsideFolder(L"C:\\", L"\\x"));
    EXPECT_FALSE(IsPathInsideFolder(L"C:\\game", L"2\\x"));
    EXPECT_FALSE(IsPathInsideFolder(L"C:\\game", L"x"));
    EXPECT_FALSE(IsPathInsideFolder(L"C:\\game", L"\\"));
    EXPECT_FALSE(IsPathInsideFolder(L"C:\\game", L""));
    EXPECT_FALSE(IsPathInsideFolder(L"C:\\game", L"\\..\\x"));
    EXPECT_FALSE(IsPathInsideFolder(L"C:\\game", L"\\a\\..\\..\\game2\\x"));
    EXPECT_FALSE(IsPathInsideFolder(L"", L"\\x"));
}

class CheckFileMd5Test : public testing::Test {
protected:
    test::CTempFolder m_folder{L"_\u6e38\u620f"};
};

TEST_F(CheckFileMd5Test, MatchesTheDigestInAnyLetterCase) {
    const std::wstring path = m_folder.Path() + kChineseSaved;
    test::WriteFileBytes(path, kTextAbc);
    EXPECT_TRUE(CheckFileMd5(path, kMd5Abc));
    EXPECT_TRUE(CheckFileMd5(path, L"900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_FALSE(CheckFileMd5(path, kMd5Digest));
    EXPECT_FALSE(CheckFileMd5(path, L""));
}

TEST_F(CheckFileMd5Test, AFileThatCannotBeReadNeverPasses) {
    // A download that left no file must not pass as verified for an entry
    // without md5.
    EXPECT_FALSE(CheckFileMd5(m_folder.Path() + L"\\missing.txt", L""));
    EXPECT_FALSE(CheckFileMd5(m_folder.Path(), L""));
    EXPECT_FALSE(CheckFileMd5(L"", L""));
}

} // namespace

// ParseFileList touches no file: the checks of a list's text, in process.
class ParseFileListTest : public testing::Test {
protected:
    bool Parse(const std::string& entries) { return ParseFileList(Manifest(entries), L"C:\\game", m_entries); }

    std::vector<FileListItem> m_entries;
};

TEST_F(ParseFileListTest, OnlyWebAddressesMakeAUsableList) {
    EXPECT_TRUE(Parse(Entry({{"FilePath", L"\\a"}, {"url", L"http://h/a"}}) +
                      Entry({{"FilePath", L"\\b"}, {"url", L"HTTPS://h/b"}})));
    EXPECT_EQ(Paths(m_entries), (std::vector<std::wstring>{L"\\a", L"\\b"}));
    for (const wchar_t* url : {L"file:///C:/windows/win.ini", L"\\\\server\\share\\a", L"//server/share/a",
                               L"ftp://h/a", L"C:\\a", L"a", L"", L"http:/h/a", L" http://h/a"}) {
        m_entries.clear();
        EXPECT_FALSE(
            Parse(Entry({{"FilePath", L"\\a"}, {"url", L"http://h/a"}}) + Entry({{"FilePath", L"\\b"}, {"url", url}})))
            << ToUtf8(url);
        EXPECT_TRUE(m_entries.empty()) << ToUtf8(url);
    }
}

TEST_F(ParseFileListTest, TheSameFileTwiceIsFetchedOnceOrMakesTheListUnusable) {
    // Named as Windows compares names: any letter case, either separator.
    EXPECT_TRUE(Parse(Entry({{"FilePath", L"\\Data\\A.dat"}, {"md5", kMd5Abc}, {"url", L"http://h/1"}}) +
                      Entry({{"FilePath", L"\\b.dat"}, {"md5", kMd5Abc}}) +
                      Entry({{"FilePath", L"/data/a.DAT"}, {"md5", L"900150983CD24FB0D6963F7D28E17F72"}})));
    ASSERT_EQ(Paths(m_entries), (std::vector<std::wstring>{L"\\Data\\A.dat", L"\\b.dat"}));
    EXPECT_EQ(m_entries[0].url, L"http://h/1") << "the first entry stands for both";

    m_entries.clear();
    EXPECT_FALSE(Parse(Entry({{"FilePath", L"\\data\\a.dat"}, {"md5", kMd5Abc}}) +
                       Entry({{"FilePath", L"/DATA/a.dat"}, {"md5", kMd5Digest}})));
    EXPECT_TRUE(m_entries.empty());

    // In a folder given with its backslash, the leading separator is optional.
    EXPECT_FALSE(ParseFileList(Manifest(Entry({{"FilePath", L"\\a.dat"}, {"md5", kMd5Abc}}) +
                                        Entry({{"FilePath", L"a.dat"}, {"md5", kMd5Digest}})),
                               L"C:\\game\\", m_entries));

    // Names that only look alike are different files.
    EXPECT_TRUE(Parse(Entry({{"FilePath", L"\\a.dat"}, {"md5", kMd5Abc}}) +
                      Entry({{"FilePath", L"\\a.dat2"}, {"md5", kMd5Digest}}) +
                      Entry({{"FilePath", L"\\sub\\a.dat"}, {"md5", kMd5Digest}})));
    EXPECT_EQ(m_entries.size(), 3u);
}

TEST_F(ParseFileListTest, PathsComeOutWithBackslashesAndWithoutEnvironmentReferences) {
    EXPECT_TRUE(Parse(Entry({{"FilePath", L"/data/new/a.dat"}}) + Entry({{"FilePath", L"\\bin\\x/y.exe"}})));
    EXPECT_EQ(Paths(m_entries), (std::vector<std::wstring>{L"\\data\\new\\a.dat", L"\\bin\\x\\y.exe"}));

    for (const wchar_t* filePath : {L"\\%APPDATA%\\evil.exe", L"\\%windir%", L"\\a%b", L"/%TEMP%/x"}) {
        EXPECT_FALSE(Parse(Entry({{"FilePath", filePath}}))) << ToUtf8(filePath);
    }
}

TEST_F(ParseFileListTest, UnusableWithoutATargetFolderAndLeavesEntriesAsTheyWere) {
    m_entries.push_back({L"\\kept", L"http://h/k", L"", L"", L""});
    EXPECT_FALSE(ParseFileList(Manifest(Entry({{"FilePath", L"\\a"}})), L"", m_entries));
    EXPECT_FALSE(ParseFileList("<FileList><File FilePath=\"\\a\"", L"C:\\game", m_entries));
    EXPECT_EQ(Paths(m_entries), std::vector<std::wstring>{L"\\kept"});
    EXPECT_TRUE(ParseFileList("<FileList/>", L"C:\\game", m_entries));
    EXPECT_TRUE(m_entries.empty());
}
