// Starts the real RadeVare.exe, copied into a fresh folder, and looks at what
// it does from outside.
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <shlobj.h>

namespace fs = std::filesystem;

namespace {

class RunningProgram {
public:
    RunningProgram(const fs::path& exe, const std::wstring& arguments) {
        std::wstring commandLine = L"\"" + exe.wstring() + L"\" " + arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        m_started = ::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                     exe.parent_path().c_str(), &si, &m_pi) != FALSE;
    }
    ~RunningProgram() {
        if (m_started) {
            if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
                ::TerminateProcess(m_pi.hProcess, 99);
                ::WaitForSingleObject(m_pi.hProcess, 5000);
            }
            ::CloseHandle(m_pi.hThread);
            ::CloseHandle(m_pi.hProcess);
        }
    }
    bool Started() const { return m_started; }
    bool StillRunningAfter(DWORD ms) const { return ::WaitForSingleObject(m_pi.hProcess, ms) == WAIT_TIMEOUT; }
    DWORD ExitCode() const {
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(m_pi.hProcess, &code);
        return code;
    }
    DWORD ProcessId() const { return m_pi.dwProcessId; }

private:
    PROCESS_INFORMATION m_pi = {};
    bool m_started = false;
};

std::wstring Field(const std::vector<char>& record, size_t offset) {
    std::wstring text(reinterpret_cast<const wchar_t*>(record.data() + offset), 260);
    return text.substr(0, text.find(L'\0'));
}

} // namespace

TEST(RunProcessTest, CrashReporterReceivesTheRecordFromTheRealProgram) {
    const test::CTempFolder temp;
    const fs::path folder = temp.Path();
    const fs::path bin = test::ModuleFolder();
    // Another file name: the record names "RadeVare.exe" whatever the file is called.
    fs::copy_file(bin / L"RadeVare.exe", folder / L"Client.exe");
    fs::copy_file(bin / L"crash-reporter" / L"Dump.dll", folder / L"Dump.dll");

    RunningProgram program(folder / L"Client.exe", L"-gameid:3");
    ASSERT_TRUE(program.Started());
    const fs::path recordFile = folder / L"DumpRecord.bin";
    for (int i = 0; i < 200 && !fs::exists(recordFile); ++i) {
        ::Sleep(50);
    }
    ::Sleep(100); // the reporter closes the file right after writing it
    std::ifstream in(recordFile, std::ios::binary);
    ASSERT_TRUE(in.good()) << "no record arrived";
    std::vector<char> record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(record.size(), 2608u);

    WCHAR appData[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE));
    const std::wstring dumpFolder = std::wstring(appData) + L"\\VodiDeve\\zezoro";
    const std::wstring programFolder = folder.wstring() + L"\\";

    EXPECT_EQ(Field(record, 0), programFolder + L"RadeVare.exe");
    EXPECT_EQ(Field(record, 520), dumpFolder);
    EXPECT_EQ(Field(record, 1040), L"RadeVare");
    DWORD valueA = 0xFFFFFFFF, valueB = 0xFFFFFFFF;
    std::memcpy(&valueA, record.data() + 1560, 4);
    std::memcpy(&valueB, record.data() + 1564, 4);
    EXPECT_EQ(valueA, 0u);
    EXPECT_EQ(valueB, 1u);
    EXPECT_EQ(Field(record, 1568), L"VodiDeve");
    EXPECT_EQ(Field(record, 2088), programFolder + L"CrashReport.exe");
    // The dump folder exists, and is named without a trailing backslash.
    EXPECT_TRUE(fs::is_directory(dumpFolder));
    EXPECT_NE(Field(record, 520).back(), L'\\');
}

TEST(RunProcessTest, CommandLineWithoutModeEndsAtOnceWithExitCode0) {
    // Nothing is queued and no timer runs: left waiting, nothing would ever end it.
    const test::CTempFolder temp;
    const fs::path folder = temp.Path();
    const fs::path bin = test::ModuleFolder();
    fs::copy_file(bin / L"RadeVare.exe", folder / L"RadeVare.exe");
    RunningProgram program(folder / L"RadeVare.exe", L"-gameid:3 -noprocess");
    ASSERT_TRUE(program.Started());
    EXPECT_FALSE(program.StillRunningAfter(10000));
    EXPECT_EQ(program.ExitCode(), 0u);
}
