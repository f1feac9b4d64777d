#include "config_test_support.h"

#include "config/settings_table.h"

#include <gtest/gtest.h>

namespace {

std::wstring Utf8ToWideText(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int count = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], count);
    return result;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin));
        if (end == std::wstring::npos) {
            return parts;
        }
        begin = end + 1;
    }
}

} // namespace

std::wstring ProbeOutput::Value(const std::wstring& tag) const {
    for (const auto& record : records) {
        if (record.size() >= 2 && record[0] == tag) {
            return record[1];
        }
    }
    return std::wstring();
}

std::vector<bool> ProbeOutput::Loaded() const {
    std::vector<bool> loaded;
    for (const auto& record : records) {
        if (record.size() == 2 && record[0] == L"loaded") {
            loaded.push_back(record[1] == L"1");
        }
    }
    return loaded;
}

std::vector<FileListItem> ProbeOutput::Items(const std::wstring& list) const {
    std::vector<FileListItem> items;
    for (const auto& record : records) {
        if (record.size() == 6 && record[0] == list) {
            items.push_back(FileListItem{record[1], record[2], record[3], record[4], record[5]});
        }
    }
    return items;
}

ProbeOutput RunProbe(const std::wstring& folder, const std::wstring& arguments, const std::wstring& probePath) {
    ProbeOutput output;
    const std::wstring probe = probePath.empty() ? folder + L"\\config_probe.exe" : probePath;
    const std::wstring outFile = folder + L"\\probe_out.txt";
    ::DeleteFileW(outFile.c_str());
    if (!::CopyFileW((GetModuleFolder() + L"\\config_probe.exe").c_str(), probe.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy config_probe.exe to " << ToUtf8(probe);
        return output;
    }

    std::wstring commandLine = L"\"" + probe + L"\" \"" + outFile + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                          &process)) {
        ADD_FAILURE() << "cannot start " << ToUtf8(probe) << ": error " << ::GetLastError();
        return output;
    }
    ::CloseHandle(process.hThread);
    // Generous: a probe reads a few small files, but a loaded machine under
    // Wine can be slow to start a process.
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ADD_FAILURE() << "config_probe did not end: " << ToUtf8(arguments);
    }
    ::GetExitCodeProcess(process.hProcess, &output.exitCode);
    ::CloseHandle(process.hProcess);

    for (const std::wstring& line : Split(Utf8ToWideText(test::ReadFileBytes(outFile)), L'\n')) {
        if (!line.empty()) {
            output.records.push_back(Split(line, L'\t'));
        }
    }
    return output;
}
