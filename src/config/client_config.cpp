#include "config/client_config.h"

#include "config/settings_table.h"
#include "config/xml_file.h"

#include <tinyxml.h>

#include <windows.h>
#include <shlwapi.h>

namespace {

// The registry values the client shares with the game center and with other
// instances of itself, all under HKEY_CURRENT_USER and all REG_SZ.
constexpr wchar_t kChannelKey[] = L"SOFTWARE\\Rirodaza"; // value named by gKey: the channel id
constexpr wchar_t kGameCenterKey[] = L"SOFTWARE\\VodiDeveCenter";
constexpr wchar_t kGameCenterPKey[] = L"pkey";
constexpr wchar_t kGameCenterChannelId[] = L"channelid";
constexpr wchar_t kGameCenterUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tandrel";
constexpr wchar_t kDisplayIcon[] = L"DisplayIcon";

constexpr wchar_t kDefaultPKey[] = L"wan";

// Every text read goes into this many zero-filled characters, of which one
// less is offered to the registry: the last one always stays zero, so the
// text ends there whatever the value holds (another type, or no terminator).
constexpr DWORD kRegistryTextChars = 261;

// False when the value is missing, cannot be read or holds more than 259
// characters; text is then left alone. An over-long value is refused rather
// than cut, because what a short read leaves in the buffer is not defined and
// a cut channel id would name another channel.
bool ReadRegistryText(const wchar_t* key, const wchar_t* valueName, std::wstring& text) {
    wchar_t buffer[kRegistryTextChars] = {};
    DWORD type = REG_SZ;
    DWORD size = (kRegistryTextChars - 1) * sizeof(wchar_t);
    if (::SHGetValueW(HKEY_CURRENT_USER, key, valueName, &type, buffer, &size) != ERROR_SUCCESS) {
        return false;
    }
    text = buffer;
    return true;
}

// Creates the key when it is missing. The result is not examined: the game
// center and the next run cope with a value that is not there.
void WriteRegistryText(const wchar_t* key, const wchar_t* valueName, const std::wstring& text) {
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    ::SHSetValueW(HKEY_CURRENT_USER, key, valueName, REG_SZ, text.c_str(), size);
}

} // namespace

void LoadClientConfig() {
    // Called from the progress window's handlers: nothing may escape, and a
    // failure part-way leaves the table as it was.
    try {
        TiXmlDocument document;
        if (!LoadXmlFile(GetModuleFolder() + L"\\LumoConfig.xml", document)) {
            return;
        }
        const TiXmlElement* root = document.RootElement();
        const TiXmlElement* element = root != nullptr ? root->FirstChildElement() : nullptr;
        if (element == nullptr) {
            return;
        }
        std::wstring downUrl = Utf8ToWide(element->Attribute("downurl"));
        std::wstring channelId = Utf8ToWide(element->Attribute("channelid"));
        std::wstring gKey = Utf8ToWide(element->Attribute("gKey"));
        std::wstring pKey = Utf8ToWide(element->Attribute("pKey"));

        // An empty gKey names the key's default value, on both the write and the read.
        if (!channelId.empty()) {
            WriteRegistryText(kChannelKey, gKey.c_str(), channelId);
        } else if (!ReadRegistryText(kChannelKey, gKey.c_str(), channelId)) {
            channelId.clear();
        }
        if (pKey.empty()) {
            pKey = kDefaultPKey;
        }

        g_settingsTable.m_downUrl = std::move(downUrl);
        g_settingsTable.m_channelId = std::move(channelId);
        g_settingsTable.m_gKey = std::move(gKey);
        g_settingsTable.m_pKey = std::move(pKey);
    } catch (...) {
        // Out of memory while reading: the settings stay as they were.
    }
}

void SaveGameCenterKeys() {
    try {
        WriteRegistryText(kGameCenterKey, kGameCenterPKey, g_settingsTable.GetPKey());
        WriteRegistryText(kGameCenterKey, kGameCenterChannelId, g_settingsTable.GetChannelId());
    } catch (...) {
        // Copying a setting ran out of memory: the game center keeps its old values.
    }
}

bool ReadGameCenterDisplayIcon(std::wstring& value) {
    value.clear();
    try {
        return ReadRegistryText(kGameCenterUninstallKey, kDisplayIcon, value);
    } catch (...) {
        value.clear();
        return false;
    }
}
