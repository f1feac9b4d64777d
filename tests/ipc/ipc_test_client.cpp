// ipc_test_client: the client end of the IPC channel for the channel tests;
// the test host starts it and passes its window with -biw.
//
// usage: ipc_test_client.exe -out:FILE [-counter:HEX] [-early] [-report:GAMEID,PROGRESS]...
//                            [-wait:MS] [-expect:N] -biw:HWND
//   -counter  block names come from this counter value, one more per block,
//             instead of the performance counter
//   -early    send a report (-7, -7) before the channel is started
//   -report   send a progress report once the channel is ready
//   -wait     how long to wait for the host's acknowledgements (default 10000)
//   -expect   wait (up to 10 s) for N messages from the host
//   -malformed  announce two blocks no host may accept (a length past the
//             block, a lower-case digit) and wait until both are acknowledged
//
// Writes tab-separated UTF-8 lines to FILE: "early <1|0>" (all settled at
// once), "ready <1|0>", "channel <window>", "acknowledged <1|0>", per block
// name of a -counter run "block <name> <1 if it still exists>", and per
// message from the host "received <name> <id> <param>...". Exits with 0.

#include "base/handle_wire.h"
#include "base/messages.h"
#include "ipc/ipc_block.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_messages.h"
#include "ipc/paras_helper.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// A channel whose block names come from a counter of the test's choosing.
class CCountedChannel : public CIPCChannel {
public:
    CCountedChannel(bool bFixed, ULONGLONG first) : m_bFixed(bFixed), m_nNext(first) {}
    ~CCountedChannel() override { StopThread(); }

protected:
    ULONGLONG ReadBlockCounter() override { return m_bFixed ? m_nNext++ : CIPCChannel::ReadBlockCounter(); }

private:
    const bool m_bFixed;
    ULONGLONG m_nNext; // channel thread only
};

class CLineFile {
public:
    explicit CLineFile(const std::wstring& path)
        : m_hFile(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~CLineFile() {
        if (m_hFile != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_hFile);
        }
    }
    void Line(const std::vector<std::wstring>& fields) {
        std::wstring line;
        for (size_t i = 0; i < fields.size(); ++i) {
            line += (i > 0 ? L"\t" : L"") + fields[i];
        }
        line += L"\n";
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(bytes), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
        DWORD written = 0;
        ::WriteFile(m_hFile, utf8.data(), static_cast<DWORD>(utf8.size() - 1), &written, nullptr);
    }

private:
    HANDLE m_hFile;
};

std::vector<std::unique_ptr<CParasHelper>> g_received;
CIPCChannel* g_pChannel = nullptr; // whose deliveries the notify window takes
size_t g_closes = 0;

LRESULT CALLBACK NotifyProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_IPC_NOTIFY) {
        std::unique_ptr<CParasHelper> paras = g_pChannel != nullptr ? g_pChannel->TakeDelivered(wParam) : nullptr;
        if (paras) {
            g_received.push_back(std::move(paras));
        }
        return 0;
    }
    if (uMsg == CIPCChannel::GetCloseMsg()) {
        ++g_closes;
        return 0;
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

std::unique_ptr<CParasHelper> Report(long gameId, long progress) {
    IPC_MainProcess_OnDownProcess report;
    report.m_gameId.m_value = gameId;
    report.m_progress.m_value = progress;
    return report.ToParas();
}

std::wstring Flag(BOOL value) {
    return value ? L"1" : L"0";
}

// A block with the given L and text, announced to the host with a reply to
// hReplyWnd. Laid out byte by byte: the point is to break the rules.
HANDLE AnnounceBlock(HWND hHost, HWND hReplyWnd, uint32_t low, uint32_t cbPayload, const std::wstring& text) {
    const std::wstring name = FormatBlockName(low, 0x77);
    const DWORD size = static_cast<DWORD>(12 + (text.size() + 1) * 2);
    HANDLE block = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
    auto* view = static_cast<unsigned char*>(::MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, size));
    if (view == nullptr) {
        return block;
    }
    const uint32_t header[3] = {base::HandleToWire(hReplyWnd), 0, cbPayload};
    std::memcpy(view, header, sizeof(header));
    std::memcpy(view + 12, text.c_str(), (text.size() + 1) * 2);
    ::UnmapViewOfFile(view);
    ::PostMessageW(hHost, CIPCChannel::GetStartMsg(), low, 0x77);
    return block;
}

void Pump(const ULONGLONG deadline, size_t received, size_t closes) {
    while ((g_received.size() < received || g_closes < closes) && ::GetTickCount64() < deadline) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageW(&msg);
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring outPath;
    bool bFixedCounter = false;
    ULONGLONG counter = 0;
    bool bEarly = false;
    bool bMalformed = false;
    std::vector<std::pair<long, long>> reports;
    DWORD waitMs = 10000;
    size_t expected = 0;
    HWND hHost = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const auto value = [&arg](const wchar_t* prefix) { return arg.substr(std::wcslen(prefix)); };
        if (arg.rfind(L"-out:", 0) == 0) {
            outPath = value(L"-out:");
        } else if (arg.rfind(L"-counter:", 0) == 0) {
            bFixedCounter = true;
            counter = std::wcstoull(value(L"-counter:").c_str(), nullptr, 16);
        } else if (arg == L"-early") {
            bEarly = true;
        } else if (arg == L"-malformed") {
            bMalformed = true;
        } else if (arg.rfind(L"-report:", 0) == 0) {
            wchar_t* end = nullptr;
            const std::wstring figures = value(L"-report:");
            const long gameId = std::wcstol(figures.c_str(), &end, 10);
            reports.emplace_back(gameId, std::wcstol(end + (*end == L',' ? 1 : 0), nullptr, 10));
        } else if (arg.rfind(L"-wait:", 0) == 0) {
            waitMs = std::wcstoul(value(L"-wait:").c_str(), nullptr, 10);
        } else if (arg.rfind(L"-expect:", 0) == 0) {
            expected = std::wcstoul(value(L"-expect:").c_str(), nullptr, 10);
        } else if (arg.rfind(L"-biw:", 0) == 0) {
            hHost = base::WindowFromDecimalOption(std::wcstol(value(L"-biw:").c_str(), nullptr, 10));
        }
    }
    CLineFile out(outPath);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = NotifyProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"IpcTestClientNotify";
    ::RegisterClassExW(&wc);
    const HWND hNotify =
        ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);

    CCountedChannel channel(bFixedCounter, counter);
    channel.m_hNotifyWnd = hNotify;
    channel.m_uNotifyMsg = WM_IPC_NOTIFY;
    g_pChannel = &channel;
    if (bEarly) {
        channel.PostToPeer(hHost, Report(-7, -7).get());
        out.Line({L"early", Flag(channel.WaitForAcknowledgements(0))});
    }
    channel.StartThread();
    out.Line({L"ready", Flag(channel.IsReady())});
    out.Line({L"channel", base::HandleToDecimal(channel.GetThreadWnd())});
    for (const auto& report : reports) {
        channel.PostToPeer(hHost, Report(report.first, report.second).get());
    }
    out.Line({L"acknowledged", Flag(channel.WaitForAcknowledgements(waitMs))});
    if (bFixedCounter) {
        for (size_t i = 0; i < reports.size(); ++i) {
            const ULONGLONG value = counter + i;
            const std::wstring name = FormatBlockName(static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32));
            HANDLE block = ::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
            out.Line({L"block", name, Flag(block != nullptr)});
            if (block != nullptr) {
                ::CloseHandle(block);
            }
        }
    }

    if (bMalformed) {
        const std::wstring ping = L"00000804Ping00";
        HANDLE tooLong = AnnounceBlock(hHost, hNotify, 1, 0x1000, ping);
        HANDLE lowerCase =
            AnnounceBlock(hHost, hNotify, 2, static_cast<uint32_t>((ping.size() + 1) * 2), L"00000a04Ping00");
        Pump(::GetTickCount64() + 10000, 0, 2);
        ::CloseHandle(tooLong);
        ::CloseHandle(lowerCase);
    }
    Pump(::GetTickCount64() + 10000, expected, 0);
    for (const auto& paras : g_received) {
        std::vector<std::wstring> fields = {L"received", paras->m_strName, std::to_wstring(paras->m_nId)};
        fields.insert(fields.end(), paras->m_vecParams.begin(), paras->m_vecParams.end());
        out.Line(fields);
    }
    return 0;
}
