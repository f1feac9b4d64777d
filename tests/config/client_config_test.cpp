#include "config/client_config.h"

#include "config_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

constexpr wchar_t kChannelKey[] = L"SOFTWARE\\Rirodaza";
constexpr wchar_t kGameCenterKey[] = L"SOFTWARE\\VodiDeveCenter";
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tandrel";

struct RegistryText {
    bool exists = false;
    DWORD type = REG_NONE;
    std::wstring text;
};

RegistryText ReadValue(const wchar_t* key, const std::wstring& name) {
    RegistryText value;
    DWORD size = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, key, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &value.type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return value;
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegGetValueW(HKEY_CURRENT_USER, key, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &value.type, buffer.data(),
                       &size) == ERROR_SUCCESS) {
        value.exists = true;
        value.text = buffer.data();
    }
    return value;
}

void WriteValue(const wchar_t* key, const std::wstring& name, const std::wstring& text) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, key, name.c_str(), REG_SZ, text.c_str(),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// Puts one registry value back as it was when the test began (or removes it,
// and the key when the test made it and left it empty). The values the
// client shares with the game center may hold a user's real data.
class CRegistryValueGuard {
public:
    CRegistryValueGuard(const wchar_t* key, std::wstring name)
        : m_key(key), m_name(std::move(name)), m_saved(ReadValue(key, m_name)) {
        HKEY handle = nullptr;
        m_keyExisted = ::RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) == ERROR_SUCCESS;
        if (m_keyExisted) {
            ::RegCloseKey(handle);
        }
        Remove();
    }
    ~CRegistryValueGuard() {
        if (m_saved.exists) {
            ::RegSetKeyValueW(HKEY_CURRENT_USER, m_key, m_name.c_str(), m_saved.type, m_saved.text.c_str(),
                              static_cast<DWORD>((m_saved.text.size() + 1) * sizeof(wchar_t)));
            return;
        }
        Remove();
        HKEY handle = nullptr;
        if (!m_keyExisted && ::RegOpenKeyExW(HKEY_CURRENT_USER, m_key, 0, KEY_READ, &handle) == ERROR_SUCCESS) {
            DWORD subkeys = 1;
            DWORD values = 1;
            ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr);
            ::RegCloseKey(handle);
            if (subkeys == 0 && values == 0) {
                ::RegDeleteKeyW(HKEY_CURRENT_USER, m_key);
            }
        }
    }
    CRegistryValueGuard(const CRegistryValueGuard&) = delete;
    CRegistryValueGuard& operator=(const CRegistryValueGuard&) = delete;

    void Remove() { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, m_key, m_name.c_str()); }

private:
    const wchar_t* m_key;
    std::wstring m_name;
    RegistryText m_saved;
    bool m_keyExisted = false;
};

// LumoConfig.xml with one element under the root, its attributes given as
// UTF-16 and written as UTF-8.
std::string Config(const std::vector<std::pair<std::string, std::wstring>>& attributes) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LumoConfig>\n  <Config";
    for (const auto& attribute : attributes) {
        xml += " " + attribute.first + "=\"" + ToUtf8(attribute.second) + "\"";
    }
    return xml + "/>\n</LumoConfig>\n";
}

// Runs the configuration reader in a program of its own, placed in a
// temporary folder with LumoConfig.xml beside it. gKey is a value name of
// this test's own.
class ClientConfigTest : public testing::Test {
protected:
    explicit ClientConfigTest(const std::wstring& suffix = std::wstring()) : m_folder(suffix) {}

    void WriteConfig(const std::string& xml) { test::WriteFileBytes(m_folder.Path() + L"\\LumoConfig.xml", xml); }
    ProbeOutput Run(const wchar_t* command = L"config") { return RunProbe(m_folder.Path(), command); }

    test::CTempFolder m_folder;
    const std::wstring m_gKey = L"RadeVareTest_" + std::to_wstring(::GetCurrentProcessId());
    CRegistryValueGuard m_channelValue{kChannelKey, m_gKey};
};

TEST_F(ClientConfigTest, ReadsTheFirstChildElementOfTheRoot) {
    WriteConfig("<LumoConfig downurl=\"http://root/\" pKey=\"root\">"
                "<!-- settings --><Config downurl=\"http://h/FileList.xml\" pKey=\"k1\" gKey=\"" +
                ToUtf8(m_gKey) + "\"/><Second channelid=\"second\" pKey=\"k2\"/></LumoConfig>");
    const ProbeOutput output = Run();
    ASSERT_EQ(output.exitCode, 0u);
    EXPECT_EQ(output.Value(L"downurl"), L"http://h/FileList.xml");
    EXPECT_EQ(output.Value(L"pKey"), L"k1");
    EXPECT_EQ(output.Value(L"gKey"), m_gKey);
    EXPECT_EQ(output.Value(L"channelid"), L"");
}

TEST_F(ClientConfigTest, KeepsTheChannelIdUnderGKeyForLaterRuns) {
    WriteConfig(Config({{"channelid", L"c-1001"}, {"gKey", m_gKey}}));
    ProbeOutput output = Run();
    EXPECT_EQ(output.Value(L"channelid"), L"c-1001");
    const RegistryText stored = ReadValue(kChannelKey, m_gKey);
    EXPECT_TRUE(stored.exists);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored.text, L"c-1001");

    WriteConfig(Config({{"downurl", L"http://h/"}, {"gKey", m_gKey}}));
    output = Run();
    EXPECT_EQ(output.Value(L"channelid"), L"c-1001");

    // A file with another channel id replaces the kept one.
    WriteConfig(Config({{"channelid", L"c-2002"}, {"gKey", m_gKey}}));
    Run();
    EXPECT_EQ(ReadValue(kChannelKey, m_gKey).text, L"c-2002");
}

TEST_F(ClientConfigTest, AnEmptyGKeyUsesTheDefaultValueOfTheKey) {
    CRegistryValueGuard defaultValue(kChannelKey, L"");
    WriteConfig(Config({{"channelid", L"c-default"}}));
    ProbeOutput output = Run();
    EXPECT_EQ(output.Value(L"channelid"), L"c-default");
    EXPECT_EQ(ReadValue(kChannelKey, L"").text, L"c-default");
    EXPECT_FALSE(ReadValue(kChannelKey, m_gKey).exists);

    WriteConfig(Config({{"gKey", L""}, {"downurl", L"http://h/"}}));
    output = Run();
    EXPECT_EQ(output.Value(L"channelid"), L"c-default");
}

TEST_F(ClientConfigTest, PKeyDefaultsToWanAndIsHandedToTheGameCenter) {
    CRegistryValueGuard pkey(kGameCenterKey, L"pkey");
    CRegistryValueGuard channelId(kGameCenterKey, L"channelid");
    WriteConfig(Config({{"downurl", L"http://h/"}, {"channelid", L"c-7"}, {"gKey", m_gKey}}));
    const ProbeOutput output = Run(L"savekeys");
    EXPECT_EQ(output.Value(L"pKey"), L"wan");

    const RegistryText savedPKey = ReadValue(kGameCenterKey, L"pkey");
    const RegistryText savedChannelId = ReadValue(kGameCenterKey, L"channelid");
    EXPECT_EQ(savedPKey.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(savedPKey.text, L"wan");
    EXPECT_EQ(savedChannelId.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(savedChannelId.text, L"c-7");
}

TEST_F(ClientConfigTest, SavesAnEmptyChannelIdAndAPKeyOfBlanksUnchanged) {
    CRegistryValueGuard pkey(kGameCenterKey, L"pkey");
    CRegistryValueGuard channelId(kGameCenterKey, L"channelid");
    WriteConfig(Config({{"pKey", L"  "}, {"gKey", m_gKey}}));
    const ProbeOutput output = Run(L"savekeys");
    EXPECT_EQ(output.Value(L"pKey"), L"  ");
    EXPECT_EQ(ReadValue(kGameCenterKey, L"pkey").text, L"  ");
    const RegistryText savedChannelId = ReadValue(kGameCenterKey, L"channelid");
    EXPECT_TRUE(savedChannelId.exists);
    EXPECT_EQ(savedChannelId.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(savedChannelId.text, L"");
}

TEST_F(ClientConfigTest, AFileWithoutSettingsChangesNothing) {
    ProbeOutput output = Run(); // no LumoConfig.xml
    ASSERT_EQ(output.exitCode, 0u);
    ASSERT_EQ(output.records.size(), 4u);
    for (const auto& record : output.records) {
        EXPECT_EQ(record.size() > 1 ? record[1] : L"", L"") << ToUtf8(record[0]);
    }

    std::string deep = "<LumoConfig><Config downurl=\"http://h/\">";
    for (int i = 0; i < 30000; ++i) {
        deep += "<a>";
    }
    for (const std::string& xml : {deep, std::string("<LumoConfig downurl=\"http://h/\" pKey=\"k\"/>"),
                                   std::string("<LumoConfig>text only</LumoConfig>"),
                                   std::string("<LumoConfig><Config downurl=\"http://h/\""), std::string()}) {
        WriteConfig(xml);
        output = Run();
        EXPECT_EQ(output.exitCode, 0u) << xml.substr(0, 80);
        EXPECT_EQ(output.Value(L"downurl"), L"") << xml.substr(0, 80);
        // Not "wan": nothing was loaded.
        EXPECT_EQ(output.Value(L"pKey"), L"") << xml.substr(0, 80);
    }
}

TEST_F(ClientConfigTest, ReadsAStoredChannelIdOf259CharactersWhole) {
    WriteConfig(Config({{"gKey", m_gKey}}));
    std::wstring longest;
    for (int i = 0; i < 259; ++i) {
        longest += static_cast<wchar_t>(L'a' + i % 26);
    }
    WriteValue(kChannelKey, m_gKey, longest);
    EXPECT_EQ(Run().Value(L"channelid"), longest);

    // One more character does not fit with its terminating zero: refused
    // rather than cut to another channel's id.
    WriteValue(kChannelKey, m_gKey, longest + L"z");
    EXPECT_EQ(Run().Value(L"channelid"), L"");
}

// The program's folder carries characters that code page 1252 lacks ("游戏").
class ChineseFolderClientConfigTest : public ClientConfigTest {
protected:
    ChineseFolderClientConfigTest() : ClientConfigTest(L"_\u6e38\u620f") {}
};

TEST_F(ChineseFolderClientConfigTest, ReadsTheFileAndKeepsAChineseChannelId) {
    const std::wstring channelId = L"\u6e20\u9053-42"; // "渠道-42"
    WriteConfig(Config({{"downurl", L"http://h/\u4e0b\u8f7d/FileList.xml"},
                        {"channelid", channelId},
                        {"gKey", m_gKey},
                        {"pKey", L"\u5e73\u53f0"}}));
    const ProbeOutput output = Run();
    EXPECT_EQ(output.Value(L"downurl"), L"http://h/\u4e0b\u8f7d/FileList.xml");
    EXPECT_EQ(output.Value(L"channelid"), channelId);
    EXPECT_EQ(output.Value(L"pKey"), L"\u5e73\u53f0");
    EXPECT_EQ(ReadValue(kChannelKey, m_gKey).text, channelId);
}

TEST(GameCenterDisplayIconTest, OnlyASuccessfulReadYieldsText) {
    CRegistryValueGuard displayIcon(kUninstallKey, L"DisplayIcon");
    std::wstring value = L"left over";
    EXPECT_FALSE(ReadGameCenterDisplayIcon(value));
    EXPECT_EQ(value, L"");

    const std::wstring icon = L"C:\\Program Files\\\u6e38\u620f\\Center.exe";
    WriteValue(kUninstallKey, L"DisplayIcon", icon);
    EXPECT_TRUE(ReadGameCenterDisplayIcon(value));
    EXPECT_EQ(value, icon);

    WriteValue(kUninstallKey, L"DisplayIcon", std::wstring(300, L'x'));
    EXPECT_FALSE(ReadGameCenterDisplayIcon(value));
    EXPECT_EQ(value, L"");
}

} // namespace
