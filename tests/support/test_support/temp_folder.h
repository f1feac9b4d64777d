#pragma once

#include <string>

namespace test {

// A fresh folder under the user's temporary folder, removed with everything
// in it when the object goes. Named after the test program, its process id
// and a count, so that test programs running at once, and the tests of one
// program, never share one; the name may carry a suffix, such as characters
// outside the ANSI code page. A folder that cannot be made fails the running
// test. Any thread.
class CTempFolder {
public:
    explicit CTempFolder(const std::wstring& suffix = std::wstring());
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    // Without a trailing backslash.
    const std::wstring& Path() const { return m_path; }
    // name (a relative path) inside the folder.
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// The user's temporary folder, with its trailing backslash.
std::wstring TempPath();

} // namespace test
