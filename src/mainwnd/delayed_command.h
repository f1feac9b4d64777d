#pragma once

#include <string>

// The parameters that hand one delay-list file to a new instance of the
// program: " -norun -noprocess -downtype:URL -apppath:PATH". A value with a
// blank, a tab or a quote is quoted by the rules CommandLineToArgvW applies,
// so it reaches the new instance whole; other values stand as they are.
std::wstring BuildDelayedDownloadParameters(const std::wstring& url, const std::wstring& filePath);

// One value quoted for CommandLineToArgvW when it needs it.
std::wstring QuoteArgumentValue(const std::wstring& value);
