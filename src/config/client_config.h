#pragma once

#include <string>

// LumoConfig.xml beside the executable and the registry values the client
// keeps. Main thread only.

// Reads LumoConfig.xml into g_settingsTable and keeps the channel id under
// HKCU "SOFTWARE\Rirodaza" in the value named by gKey (read back when the
// file has none); pKey defaults to "wan".
void LoadClientConfig();
// Hands pKey and the channel id to the game center: HKCU
// "SOFTWARE\VodiDeveCenter" values "pkey" and "channelid".
void SaveGameCenterKeys();
// The game center's "DisplayIcon" from its uninstall entry; false when the
// read fails.
bool ReadGameCenterDisplayIcon(std::wstring& value);
