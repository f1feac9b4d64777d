#pragma once

#include <string>

// Whole files and paths for tests, through the wide functions so that any
// name works. Any thread; a failure is reported to the running test.
namespace test {

// The bytes of a file; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
// Writes bytes to a file, creating its folders first. False, with a failure
// of the running test that names the path, when the file cannot be written.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

bool FileExists(const std::wstring& path); // a file, not a folder
// The size of a file in bytes; 0 when it does not exist.
long long FileSize(const std::wstring& path);
bool FolderExists(const std::wstring& path); // a folder, not a file
bool PathExists(const std::wstring& path);   // either

// The folder of the running test program, without a trailing backslash:
// the build's bin folder, where the programs that tests start lie.
std::wstring ModuleFolder();

} // namespace test
