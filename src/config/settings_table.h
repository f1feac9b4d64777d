#pragma once

#include <string>

// The process-wide client settings read from LumoConfig.xml. There is one
// table (g_settingsTable), filled only by LoadClientConfig. Main thread only.
class CSettingsTable {
public:
    std::wstring GetGKey() const { return m_gKey; }
    std::wstring GetDownUrl() const { return m_downUrl; }
    std::wstring GetPKey() const { return m_pKey; }
    std::wstring GetChannelId() const { return m_channelId; }

private:
    friend void LoadClientConfig();

    std::wstring m_gKey;      // name of the registry value that keeps the channel id
    std::wstring m_downUrl;   // URL of FileList.xml for the setup mode
    std::wstring m_pKey;      // key handed to the game center
    std::wstring m_channelId; // distribution channel id
};

extern CSettingsTable g_settingsTable;

// The running executable's folder without a trailing backslash, computed once.
const std::wstring& GetModuleFolder();
// A zero-terminated UTF-8 text (null gives "") as UTF-16.
std::wstring Utf8ToWide(const char* text);
// A UTF-16 text (null gives "") in the ANSI code page; characters the code
// page lacks become its default character.
std::string WideToAnsi(const wchar_t* text);
