#include "app/run_mode.h"

#include "app/command_line.h"

RunMode SelectRunMode(const std::wstring& rawCommandLine, const CCommandLine& options) {
    if (options.HasOption(L"downtype")) {
        return RunMode::DelayedDownload;
    }
    if (options.HasOption(L"openurl")) {
        return RunMode::OpenUrl;
    }
    // The raw, untrimmed text: a command line of blanks only is not empty.
    if (rawCommandLine.empty() || rawCommandLine.find(L"DovuVadedeZizaz") != std::wstring::npos ||
        rawCommandLine.find(L"anzhuang") != std::wstring::npos ||
        rawCommandLine.find(L"http://") != std::wstring::npos) {
        return RunMode::Setup;
    }
    return RunMode::None;
}

bool RequestsGameCenterKeys(const std::wstring& rawCommandLine) {
    return rawCommandLine.find(L"DovuVadedeZizaz") != std::wstring::npos;
}
