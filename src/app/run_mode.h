#pragma once

#include <string>

class CCommandLine;

enum class RunMode {
    DelayedDownload, // "downtype": fetch one file in the background
    OpenUrl,         // "openurl": fetch the package whose file list is given by URL
    Setup,           // empty command line, or one naming the platform's setup
    None,            // anything else: nothing is downloaded
};

// The first match wins: downtype, then openurl, then the setup markers in the
// raw text (case-sensitive: "DovuVadedeZizaz", "anzhuang", "http://", or an
// empty text).
RunMode SelectRunMode(const std::wstring& rawCommandLine, const CCommandLine& options);

// Whether the raw text asks for the game center's keys to be written.
bool RequestsGameCenterKeys(const std::wstring& rawCommandLine);
