#pragma once

#include <string>

// LumoConfig.xml beside the executable and the registry values the client
// keeps. Main thread only.

// Reads LumoConfig.xml into g_settingsTable and keeps the channel id under
// HKCU "SOFTWARE\Rirodaza" in the value named by gKey (read back when the
// file has none; a stored id longer than 259 characters reads as none);
// pKey defaults to "wan". A missing or malformed file, or one whose root has
// no child element, changes nothing and touches no registry value.
void LoadClientConfig();
// Hands pKey and the channel id to the game center: HKCU
// "SOFTWARE\VodiDeveCenter" values "pkey" and "channelid".
void SaveGameCenterKeys();
// The game center's "DisplayIcon" from its uninstall entry; false (and value
// empty) when the read fails or the text is longer than 259 characters.
bool ReadGameCenterDisplayIcon(std::wstring& value);
