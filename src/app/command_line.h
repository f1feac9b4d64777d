#pragma once

#include <map>
#include <string>

// The program's options: "-name:value", "--name:value" or "/name:value"
// tokens, split as CommandLineToArgvW splits them. Names are case-sensitive;
// the first occurrence of a name wins. Main thread only.
class CCommandLine {
public:
    // Takes the command line as the entry point receives it (without the
    // program name) and adds its options to the map.
    void Parse(const std::wstring& text);

    bool HasOption(const std::wstring& name) const;
    std::wstring GetOption(const std::wstring& name) const;
    // The value as a signed decimal number, saturated at the 32-bit limits;
    // 0 when absent, empty or without digits.
    int GetOptionInt(const std::wstring& name) const;

private:
    void ParseToken(std::wstring token);

    std::map<std::wstring, std::wstring> m_options;
};
