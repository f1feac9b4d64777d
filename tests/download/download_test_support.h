#pragma once

#include "test_support/messages.h"

#include <windows.h>

#include <string>
#include <vector>

// Helpers of the download engine's tests, beside the shared ones of
// test_support/. The test's main thread only.
namespace test {

// The URL of a path on the project's HTTP test server (RADEVARE_TEST_SERVER);
// empty when the test runs without it.
std::wstring ServerUrl(const std::wstring& path);
// How many requests the server received for a path, asked over HTTP; -1 when
// the server cannot be asked.
int ServerRequestCount(const std::wstring& path);
// What the server logged of each request for a path, in the order they
// came: one field of each entry of its request log ("range", "if_range",
// "user_agent", "accept_encoding", "status", "sent"), as the JSON has it
// ("null" for none, text without its quotes).
std::vector<std::string> ServerLogged(const std::wstring& path, const std::string& field);
// The server's generated body of size=N: byte i is i % 251.
std::string GeneratedBody(size_t size);

// text in upper case: another spelling of a path that Windows takes for the same.
std::wstring UpperCase(std::wstring text);

} // namespace test
