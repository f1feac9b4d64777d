// test_host: the host end of RadeVare's IPC channel, for tests.
//
// usage: test_host.exe [options] -- program.exe [program arguments...]
//   --log FILE        write the lines to FILE (UTF-8) instead of standard output
//   --raw             also write each received block's raw bytes as hex
//   --no-ack          never acknowledge a block (no close message)
//   --send NAME[:p1,p2,...]   send this message to the client's channel window once the
//                     first block from the client has arrived (repeatable)
//   --send-reserved   at the same moment, before any --send, announce one block of 1 MB made
//                     with SEC_RESERVE and nothing of it committed: pages the client cannot read
//   --timeout SEC     end the client (TerminateProcess) after SEC seconds, default 120
//   --close-box       close every message box of the client once it shows, with OK
//   --box-delay MS    with --close-box: leave each box open this long first, default 0
//   --watch-window    report when the client's progress window shows, moves or hides
//   --snap DIR        save a screenshot DIR\snap-<n>.bmp once the client's messages pause
//   --snap-delay MS   the pause: no message for this long before the screenshot, default 200
//   --vanish-after N  once the Nth message from the client is in (and acknowledged, unless
//                     --no-ack), destroy the host window the client was given with -biw and
//                     go on waiting for the client without one
//   --flood N         once the first block from the client has arrived, send it N
//                     messages "Hello:<n>" (n = 1..N) as fast as they go
//   --stamp           begin every line with the host's clock when it was written:
//                     milliseconds since the host started (performance counter, 3 decimals)
//
// The program is started with " -biw:<this host's window in decimal>" appended
// to its arguments; an argument that contains {hwnd} has it replaced instead,
// and then nothing is appended. One line per event, tab-separated, UTF-8:
//   started <pid> | message <name> <id> <param>... | raw <hex> |
//   malformed <block name> <what is wrong> | lost <block name> | timeout | exit <client exit code> |
//   box <caption> <text> | window <visible 0/1> <left> <top> <right> <bottom> |
//   snap <file> <last progress figure> <left> <top> <right> <bottom> <visible 0/1> |
//   vanished | flooded <N> <how many were sent> | reserved <block name>
// <pid> is the client's Windows process id (what forge_posts.exe --pid takes).
// In names and parameters a backslash, tab, CR, LF and other control
// characters are written as \\, \t, \r, \n and \xHH. A block that is not
// well formed gives "malformed" instead of "message" (and is acknowledged
// when its header can be read); a start message whose block no longer exists
// gives "lost". Exit code: 0 when all went well, 1 bad usage or the program
// could not be started, 2 the client had to be ended (its exit code is then
// 258), 3 a block was malformed or lost.

#include "base/handle_wire.h"
#include "host_wire.h"
#include "process_window.h"
#include "quote_argument.h"
#include "screen_capture.h"

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace {

constexpr DWORD kPollMs = 20;                   // how often tasks look around while the client runs
constexpr DWORD kEndWaitMs = 5000;              // for a terminated client to be gone
constexpr UINT kTimeoutExitCode = WAIT_TIMEOUT; // 258, what an ended client exits with
constexpr int kSendAttempts = 3;
// The most --flood sends, and the highest --vanish-after: ten times what a
// real Windows message queue holds (10,000 posts).
constexpr unsigned long kMaxFlood = 100000;

const wchar_t kUsage[] =
    L"usage: test_host.exe [--log FILE] [--raw] [--no-ack] [--send NAME[:p1,p2,...]]... [--send-reserved]"
    L" [--timeout SEC]"
    L" [--close-box] [--box-delay MS] [--watch-window] [--snap DIR] [--snap-delay MS] [--vanish-after N]"
    L" [--flood N] [--stamp] -- program.exe [program arguments...]\n";

struct CHostOptions {
    std::wstring logPath;
    bool bRaw = false;
    bool bNoAck = false;
    std::vector<CHostMessage> sends;
    bool bSendReserved = false;
    DWORD timeoutSec = 120;
    bool bCloseBox = false;
    DWORD boxDelayMs = 0;
    bool bWatchWindow = false;
    std::wstring snapFolder;
    DWORD snapDelayMs = 200;
    size_t vanishAfter = 0; // 0: the host window stays
    size_t flood = 0;
    bool bStamp = false;
    std::vector<std::wstring> command; // the program, then its arguments
};

bool ParseSend(const std::wstring& text, CHostMessage* message) {
    const size_t colon = text.find(L':');
    message->name = text.substr(0, colon);
    if (colon != std::wstring::npos) {
        // "NAME:" is one empty parameter, "NAME:a,,b" three.
        size_t start = colon + 1;
        for (;;) {
            const size_t comma = text.find(L',', start);
            message->params.push_back(text.substr(start, comma == std::wstring::npos ? comma : comma - start));
            if (comma == std::wstring::npos) {
                break;
            }
            start = comma + 1;
        }
    }
    return !message->name.empty() && !HostPack(*message).empty();
}

bool ParseOptions(int argc, wchar_t** argv, CHostOptions* options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--") {
            ++i;
            break;
        } else if (arg == L"--raw") {
            options->bRaw = true;
        } else if (arg == L"--no-ack") {
            options->bNoAck = true;
        } else if (arg == L"--log" && hasValue) {
            options->logPath = argv[++i];
        } else if (arg == L"--send" && hasValue) {
            CHostMessage message;
            if (!ParseSend(argv[++i], &message)) {
                return false;
            }
            options->sends.push_back(message);
        } else if (arg == L"--send-reserved") {
            options->bSendReserved = true;
        } else if (arg == L"--stamp") {
            options->bStamp = true;
        } else if (arg == L"--close-box") {
            options->bCloseBox = true;
        } else if (arg == L"--watch-window") {
            options->bWatchWindow = true;
        } else if (arg == L"--snap" && hasValue) {
            options->snapFolder = argv[++i];
        } else if ((arg == L"--snap-delay" || arg == L"--box-delay") && hasValue) {
            wchar_t* end = nullptr;
            const unsigned long ms = std::wcstoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != L'\0' || ms > 60000) {
                return false;
            }
            (arg == L"--snap-delay" ? options->snapDelayMs : options->boxDelayMs) = ms;
        } else if ((arg == L"--vanish-after" || arg == L"--flood") && hasValue) {
            wchar_t* end = nullptr;
            const unsigned long count = std::wcstoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != L'\0' || argv[i][0] == L'-' || count == 0 || count > kMaxFlood) {
                return false;
            }
            (arg == L"--flood" ? options->flood : options->vanishAfter) = count;
        } else if (arg == L"--timeout" && hasValue) {
            wchar_t* end = nullptr;
            const unsigned long seconds = std::wcstoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != L'\0' || seconds > 86400) {
                return false;
            }
            options->timeoutSec = seconds;
        } else {
            return false;
        }
    }
    for (; i < argc; ++i) {
        options->command.push_back(argv[i]);
    }
    return !options->command.empty();
}

std::wstring BuildCommandLine(const std::vector<std::wstring>& command, HWND hHostWnd) {
    const std::wstring hwnd = base::HandleToDecimal(hHostWnd);
    std::wstring line;
    bool replaced = false;
    for (size_t i = 0; i < command.size(); ++i) {
        std::wstring arg = command[i];
        for (size_t at = arg.find(L"{hwnd}"); i > 0 && at != std::wstring::npos; at = arg.find(L"{hwnd}", at)) {
            arg.replace(at, 6, hwnd);
            at += hwnd.size();
            replaced = true;
        }
        if (i > 0) {
            line += L' ';
        }
        line += QuoteArgument(arg);
    }
    if (!replaced) {
        line += L" -biw:" + hwnd;
    }
    return line;
}

// Tab-separated UTF-8 lines, each written through at once so that a reader
// sees it even if this program is ended right after. Main thread only.
class CHostLog {
public:
    // The benchmark measures how long the client takes to end after its last
    // report in this clock, so it starts with the host and counts finely.
    void StampLines() {
        ::QueryPerformanceFrequency(&m_frequency);
        ::QueryPerformanceCounter(&m_start);
        m_bStamp = true;
    }

    bool Open(const std::wstring& path) {
        if (path.empty()) {
            m_hFile = ::GetStdHandle(STD_OUTPUT_HANDLE);
            return m_hFile != nullptr && m_hFile != INVALID_HANDLE_VALUE;
        }
        m_hFile = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        m_bOwned = true;
        return m_hFile != INVALID_HANDLE_VALUE;
    }
    ~CHostLog() {
        if (m_bOwned && m_hFile != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_hFile);
        }
    }

    void Line(const std::vector<std::wstring>& fields) {
        std::wstring line;
        if (m_bStamp) {
            LARGE_INTEGER now{};
            ::QueryPerformanceCounter(&now);
            wchar_t stamp[32] = {};
            std::swprintf(stamp, 32, L"%.3f\t",
                          static_cast<double>(now.QuadPart - m_start.QuadPart) * 1000.0 /
                              static_cast<double>(m_frequency.QuadPart));
            line += stamp;
        }
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) {
                line += L'\t';
            }
            line += fields[i];
        }
        line += L'\n';
        const int bytes =
            ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
        if (bytes > 0) {
            ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr,
                                  nullptr);
        }
        DWORD written = 0;
        ::WriteFile(m_hFile, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }

    static std::wstring Escape(const std::wstring& text) {
        std::wstring out;
        for (wchar_t c : text) {
            if (c == L'\\') {
                out += L"\\\\";
            } else if (c == L'\t') {
                out += L"\\t";
            } else if (c == L'\r') {
                out += L"\\r";
            } else if (c == L'\n') {
                out += L"\\n";
            } else if (c < 0x20 || c == 0x7F) {
                wchar_t hex[8] = {};
                std::swprintf(hex, 8, L"\\x%02X", static_cast<unsigned>(c));
                out += hex;
            } else {
                out += c;
            }
        }
        return out;
    }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    bool m_bOwned = false;
    bool m_bStamp = false;
    LARGE_INTEGER m_frequency{};
    LARGE_INTEGER m_start{};
};

class CHostSession;

// Something the host does while the client runs, looked at on every turn of
// the main loop (at least every kPollMs): sending a message once the client's
// channel is known today; closing a message box or taking a screenshot can
// be added the same way. Main thread only.
class CHostTask {
public:
    virtual ~CHostTask() = default;
    virtual void Poll(CHostSession& session) = 0;
};

// One run of the client: the host's window, the client process, the blocks in
// both directions. Main thread only (the window is the main thread's).
class CHostSession {
public:
    CHostSession(const CHostOptions& options, CHostLog& log) : m_options(options), m_log(log) {}
    ~CHostSession();

    void AddTask(std::unique_ptr<CHostTask> task) { m_tasks.push_back(std::move(task)); }
    int Run();

    // The client's channel window, from the first block that came from it.
    HWND PeerChannel() const { return m_hPeerChannel; }
    DWORD ClientProcessId() const { return m_process.dwProcessId; }
    // Messages received so far, and the last parameter of the last one.
    size_t MessageCount() const { return m_nMessages; }
    const std::wstring& LastFigure() const { return m_lastFigure; }
    CHostLog& Log() { return m_log; }
    bool SendToPeer(const CHostMessage& message);
    // Announces a block of reserved pages only; its name in *name.
    bool SendReservedToPeer(std::wstring* name);

private:
    // A new block of size bytes under a name no one holds, made with the
    // given protection and section flags; null after kSendAttempts clashes.
    HANDLE CreateBlock(DWORD protect, size_t size, LARGE_INTEGER* counter, std::wstring* name);
    // Posts the start message for a block to the client's channel and keeps
    // the block open for it; closes the block when the post fails.
    bool AnnounceBlock(HANDLE mapping, const LARGE_INTEGER& counter);
    bool CreateHostWindow();
    bool StartClient();
    void PumpMessages();
    void OnStartMessage(WPARAM wParam, LPARAM lParam);
    void OnCloseMessage(WPARAM wParam);
    void Vanish();
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    const CHostOptions& m_options;
    CHostLog& m_log;
    std::vector<std::unique_ptr<CHostTask>> m_tasks;
    UINT m_uStartMsg = 0;
    UINT m_uCloseMsg = 0;
    HWND m_hWnd = nullptr;
    HWND m_hPeerChannel = nullptr;
    PROCESS_INFORMATION m_process{};
    std::vector<HANDLE> m_openBlocks; // blocks sent and not yet acknowledged
    bool m_bBadBlock = false;
    size_t m_nMessages = 0;
    std::wstring m_lastFigure;
};

// Sends messages "Hello:1" to "Hello:N" one right after the other once the
// client's channel window is known, to see that a burst from the host costs
// the client nothing. The client ignores every message from the host; the
// test client records them in order. Main thread only.
class CFloodTask : public CHostTask {
public:
    explicit CFloodTask(size_t count) : m_count(count) {}
    void Poll(CHostSession& session) override {
        if (m_bDone || session.PeerChannel() == nullptr) {
            return;
        }
        m_bDone = true;
        size_t sent = 0;
        for (size_t n = 1; n <= m_count; ++n) {
            CHostMessage message;
            message.name = L"Hello";
            message.params.push_back(std::to_wstring(n));
            if (session.SendToPeer(message)) {
                ++sent;
            }
        }
        session.Log().Line({L"flooded", std::to_wstring(m_count), std::to_wstring(sent)});
    }

private:
    size_t m_count;
    bool m_bDone = false;
};

// Sends one message as soon as the client's channel window is known. Main
// thread only.
class CSendTask : public CHostTask {
public:
    explicit CSendTask(const CHostMessage& message) : m_message(message) {}
    void Poll(CHostSession& session) override {
        if (!m_bDone && session.PeerChannel() != nullptr) {
            m_bDone = true;
            if (!session.SendToPeer(m_message)) {
                std::fwprintf(stderr, L"test_host: could not send %ls\n", m_message.name.c_str());
            }
        }
    }

private:
    CHostMessage m_message;
    bool m_bDone = false;
};

// Announces, as soon as the client's channel window is known, one block
// whose pages are all reserved and none committed (a section made with
// SEC_RESERVE): a client that reads the view without checking its pages
// faults on Windows. Main thread only.
class CSendReservedTask : public CHostTask {
public:
    void Poll(CHostSession& session) override {
        if (m_bDone || session.PeerChannel() == nullptr) {
            return;
        }
        m_bDone = true;
        std::wstring name;
        if (session.SendReservedToPeer(&name)) {
            session.Log().Line({L"reserved", name});
        } else {
            std::fwprintf(stderr, L"test_host: could not send a reserved block\n");
        }
    }

private:
    bool m_bDone = false;
};

// The client's progress window: visible or not, and where.
struct CWindowState {
    bool bVisible = false;
    RECT rect = {};

    static CWindowState Of(DWORD processId) {
        CWindowState state;
        HWND hWnd = FindProcessWindow(processId, L"RADEVARE_DOWNLOAD");
        if (hWnd != nullptr) {
            state.bVisible = ::IsWindowVisible(hWnd) != FALSE;
            ::GetWindowRect(hWnd, &state.rect);
        }
        return state;
    }
    bool operator!=(const CWindowState& other) const {
        return bVisible != other.bVisible || !::EqualRect(&rect, &other.rect);
    }
    void AppendTo(std::vector<std::wstring>& fields) const {
        for (LONG value : {rect.left, rect.top, rect.right, rect.bottom}) {
            fields.push_back(std::to_wstring(value));
        }
    }
};

// Closes the client's message boxes with OK once they show (after a delay
// when asked), and says what they said. Main thread only.
class CBoxCloserTask : public CHostTask {
public:
    explicit CBoxCloserTask(DWORD delayMs) : m_delayMs(delayMs) {}
    void Poll(CHostSession& session) override {
        if (m_hOpenBox != nullptr) {
            if (::GetTickCount64() >= m_closeAt) {
                ::PostMessageW(m_hOpenBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                m_hLastBox = m_hOpenBox;
                m_hOpenBox = nullptr;
            }
            return;
        }
        HWND box = FindProcessWindow(session.ClientProcessId(), L"#32770");
        // A box exists before it is visible; its text is set by then.
        if (box == nullptr || box == m_hLastBox || !::IsWindowVisible(box)) {
            return;
        }
        WCHAR caption[256] = {};
        WCHAR text[1024] = {};
        ::GetWindowTextW(box, caption, 256);
        ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
        session.Log().Line({L"box", CHostLog::Escape(caption), CHostLog::Escape(text)});
        m_hOpenBox = box;
        m_closeAt = ::GetTickCount64() + m_delayMs;
    }

private:
    DWORD m_delayMs;
    HWND m_hOpenBox = nullptr;
    ULONGLONG m_closeAt = 0;
    HWND m_hLastBox = nullptr;
};

// Reports every change of the progress window's visibility or place, from
// the first time it shows. Main thread only.
class CWindowWatchTask : public CHostTask {
public:
    void Poll(CHostSession& session) override {
        const CWindowState state = CWindowState::Of(session.ClientProcessId());
        if (!m_bSeen && !state.bVisible) {
            return;
        }
        if (m_bSeen && !(state != m_last)) {
            return;
        }
        m_bSeen = true;
        m_last = state;
        std::vector<std::wstring> fields = {L"window", state.bVisible ? L"1" : L"0"};
        state.AppendTo(fields);
        session.Log().Line(fields);
    }

private:
    bool m_bSeen = false;
    CWindowState m_last;
};

// A screenshot once the client's messages have paused for the delay, so
// that the bar shows the figure last reported: the client repaints right
// after it reports, and a picture taken soon after a newer figure could
// still show the one before. Main thread only.
class CSnapTask : public CHostTask {
public:
    CSnapTask(const std::wstring& folder, DWORD delayMs) : m_folder(folder), m_delayMs(delayMs) {}
    void Poll(CHostSession& session) override {
        if (session.MessageCount() > m_nMessagesSeen) {
            m_nMessagesSeen = session.MessageCount();
            m_due = ::GetTickCount64() + m_delayMs;
        }
        if (m_due == 0 || ::GetTickCount64() < m_due) {
            return;
        }
        m_due = 0;
        const std::wstring path = m_folder + L"\\snap-" + std::to_wstring(++m_nSnaps) + L".bmp";
        if (!SaveScreenAsBmp(path)) {
            return;
        }
        const CWindowState state = CWindowState::Of(session.ClientProcessId());
        // The figure last reported when the picture was taken, which is what it shows.
        std::vector<std::wstring> fields = {L"snap", path, CHostLog::Escape(session.LastFigure())};
        state.AppendTo(fields);
        fields.push_back(state.bVisible ? L"1" : L"0");
        session.Log().Line(fields);
    }

private:
    std::wstring m_folder;
    DWORD m_delayMs;
    size_t m_nMessagesSeen = 0;
    ULONGLONG m_due = 0;
    int m_nSnaps = 0;
};

CHostSession::~CHostSession() {
    for (HANDLE block : m_openBlocks) {
        ::CloseHandle(block);
    }
    if (m_process.hThread != nullptr) {
        ::CloseHandle(m_process.hThread);
    }
    if (m_process.hProcess != nullptr) {
        ::CloseHandle(m_process.hProcess);
    }
    if (m_hWnd != nullptr) {
        ::DestroyWindow(m_hWnd);
    }
}

bool CHostSession::CreateHostWindow() {
    m_uStartMsg = ::RegisterWindowMessageW(L"WM_VODIDEVE_IPC_MESSAGE_START");
    m_uCloseMsg = ::RegisterWindowMessageW(L"WM_VODIDEVE_IPC_MESSAGE_CLOSE");
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"RadeVareTestHost";
    if (m_uStartMsg == 0 || m_uCloseMsg == 0 || ::RegisterClassExW(&wc) == 0) {
        return false;
    }
    // Message-only: the client posts to it from another process, and it
    // needs no display.
    m_hWnd = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
    return m_hWnd != nullptr;
}

bool CHostSession::StartClient() {
    std::wstring commandLine = BuildCommandLine(m_options.command, m_hWnd);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_process)) {
        const DWORD error = ::GetLastError();
        std::fwprintf(stderr, L"test_host: cannot start %ls (error %lu)\n", commandLine.c_str(), error);
        return false;
    }
    m_log.Line({L"started", std::to_wstring(m_process.dwProcessId)});
    return true;
}

int CHostSession::Run() {
    if (!CreateHostWindow()) {
        std::fwprintf(stderr, L"test_host: cannot create the host window\n");
        return 1;
    }
    if (!StartClient()) {
        return 1;
    }
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(m_options.timeoutSec) * 1000;
    bool timedOut = false;
    for (;;) {
        PumpMessages();
        for (auto& task : m_tasks) {
            task->Poll(*this);
        }
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_OBJECT_0) {
            break;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            timedOut = true;
            m_log.Line({L"timeout"});
            ::TerminateProcess(m_process.hProcess, kTimeoutExitCode);
            ::WaitForSingleObject(m_process.hProcess, kEndWaitMs);
            break;
        }
        const DWORD wait = static_cast<DWORD>(deadline - now < kPollMs ? deadline - now : kPollMs);
        ::MsgWaitForMultipleObjects(1, &m_process.hProcess, FALSE, wait, QS_ALLINPUT);
    }
    // Start messages the client posted just before it ended are still queued.
    PumpMessages();
    DWORD exitCode = 0;
    ::GetExitCodeProcess(m_process.hProcess, &exitCode);
    m_log.Line({L"exit", std::to_wstring(exitCode)});
    if (timedOut) {
        return 2;
    }
    return m_bBadBlock ? 3 : 0;
}

void CHostSession::PumpMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::DispatchMessageW(&msg);
    }
}

LRESULT CALLBACK CHostSession::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<CHostSession*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (self != nullptr && (uMsg == self->m_uStartMsg || uMsg == self->m_uCloseMsg)) {
        try {
            if (uMsg == self->m_uStartMsg) {
                self->OnStartMessage(wParam, lParam);
            } else {
                self->OnCloseMessage(wParam);
            }
        } catch (...) {
            // Out of memory on a huge block: the block is lost, the host goes on.
            self->m_bBadBlock = true;
        }
        return 0;
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

void CHostSession::OnStartMessage(WPARAM wParam, LPARAM lParam) {
    const std::wstring name = HostBlockName(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
    HANDLE mapping = ::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (mapping == nullptr) {
        m_bBadBlock = true;
        m_log.Line({L"lost", name});
        return;
    }
    const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    MEMORY_BASIC_INFORMATION info{};
    if (view == nullptr || ::VirtualQuery(view, &info, sizeof(info)) == 0) {
        if (view != nullptr) {
            ::UnmapViewOfFile(view);
        }
        ::CloseHandle(mapping);
        m_bBadBlock = true;
        m_log.Line({L"lost", name});
        return;
    }
    const CReceivedBlock block = ReadHostBlock(static_cast<const unsigned char*>(view), info.RegionSize);
    ::UnmapViewOfFile(view);
    ::CloseHandle(mapping);

    if (block.bWellFormed) {
        std::vector<std::wstring> fields = {L"message", CHostLog::Escape(block.message.name),
                                            std::to_wstring(block.message.id)};
        for (const std::wstring& param : block.message.params) {
            fields.push_back(CHostLog::Escape(param));
        }
        m_log.Line(fields);
        ++m_nMessages;
        m_lastFigure = block.message.params.empty() ? std::wstring() : block.message.params.back();
    } else {
        m_bBadBlock = true;
        m_log.Line({L"malformed", name, block.fault});
    }
    if (m_options.bRaw) {
        std::wstring hex;
        for (unsigned char byte : block.raw) {
            wchar_t pair[3] = {};
            std::swprintf(pair, 3, L"%02X", static_cast<unsigned>(byte));
            hex += pair;
        }
        m_log.Line({L"raw", hex});
    }
    if (block.bHeader) {
        if (m_hPeerChannel == nullptr) {
            m_hPeerChannel = block.hSenderWnd;
        }
        if (!m_options.bNoAck) {
            ::PostMessageW(block.hSenderWnd, m_uCloseMsg, static_cast<WPARAM>(block.uSenderHandle), 0);
        }
    }
    if (m_options.vanishAfter != 0 && m_nMessages == m_options.vanishAfter) {
        Vanish();
    }
}

// The host window goes away as a crashed host's would: the client's later
// posts to it fail, and blocks already queued for it are never read.
void CHostSession::Vanish() {
    if (m_hWnd == nullptr) {
        return;
    }
    // Destroying the window from its own procedure is allowed; nothing of it
    // is touched after this.
    const HWND hWnd = m_hWnd;
    m_hWnd = nullptr;
    ::DestroyWindow(hWnd);
    m_log.Line({L"vanished"});
}

void CHostSession::OnCloseMessage(WPARAM wParam) {
    const HANDLE block = base::HandleFromParam(wParam);
    for (size_t i = 0; i < m_openBlocks.size(); ++i) {
        if (m_openBlocks[i] == block) {
            ::CloseHandle(block);
            m_openBlocks.erase(m_openBlocks.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

HANDLE CHostSession::CreateBlock(DWORD protect, size_t size, LARGE_INTEGER* counter, std::wstring* name) {
    HANDLE mapping = nullptr;
    for (int attempt = 0; attempt < kSendAttempts && mapping == nullptr; ++attempt) {
        ::QueryPerformanceCounter(counter);
        *name = HostBlockName(static_cast<int32_t>(counter->LowPart), counter->HighPart);
        mapping =
            ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, protect, 0, static_cast<DWORD>(size), name->c_str());
        const DWORD error = ::GetLastError();
        if (mapping != nullptr && error == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(mapping);
            mapping = nullptr;
        }
    }
    return mapping;
}

bool CHostSession::SendReservedToPeer(std::wstring* name) {
    constexpr size_t kReservedSize = 1 << 20;
    LARGE_INTEGER counter{};
    HANDLE mapping = CreateBlock(PAGE_READWRITE | SEC_RESERVE, kReservedSize, &counter, name);
    if (mapping == nullptr) {
        return false;
    }
    // No header names it, so no close message can come for it: it stays
    // open until the host ends, for a client that reads late.
    return AnnounceBlock(mapping, counter);
}

bool CHostSession::AnnounceBlock(HANDLE mapping, const LARGE_INTEGER& counter) {
    if (!::PostMessageW(m_hPeerChannel, m_uStartMsg, static_cast<WPARAM>(counter.LowPart),
                        static_cast<LPARAM>(counter.HighPart))) {
        ::CloseHandle(mapping);
        return false;
    }
    m_openBlocks.push_back(mapping);
    return true;
}

bool CHostSession::SendToPeer(const CHostMessage& message) {
    const std::wstring packed = HostPack(message);
    const size_t size = HostBlockSize(packed);
    LARGE_INTEGER counter{};
    std::wstring name;
    HANDLE mapping = CreateBlock(PAGE_READWRITE, size, &counter, &name);
    if (mapping == nullptr) {
        return false;
    }
    void* view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
    if (view == nullptr) {
        ::CloseHandle(mapping);
        return false;
    }
    WriteHostBlock(static_cast<unsigned char*>(view), m_hWnd, mapping, packed);
    ::UnmapViewOfFile(view);
    return AnnounceBlock(mapping, counter);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    CHostOptions options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fwprintf(stderr, L"%ls", kUsage);
        return 1;
    }
    CHostLog log;
    if (options.bStamp) {
        log.StampLines();
    }
    if (!log.Open(options.logPath)) {
        std::fwprintf(stderr, L"test_host: cannot write %ls\n", options.logPath.c_str());
        return 1;
    }
    CHostSession session(options, log);
    // Tasks act in the order they are added, so the reserved block comes
    // before the messages that show the client is still listening.
    if (options.bSendReserved) {
        session.AddTask(std::make_unique<CSendReservedTask>());
    }
    for (const CHostMessage& message : options.sends) {
        session.AddTask(std::make_unique<CSendTask>(message));
    }
    if (options.bCloseBox) {
        session.AddTask(std::make_unique<CBoxCloserTask>(options.boxDelayMs));
    }
    if (options.bWatchWindow) {
        session.AddTask(std::make_unique<CWindowWatchTask>());
    }
    if (!options.snapFolder.empty()) {
        session.AddTask(std::make_unique<CSnapTask>(options.snapFolder, options.snapDelayMs));
    }
    if (options.flood != 0) {
        session.AddTask(std::make_unique<CFloodTask>(options.flood));
    }
    return session.Run();
}
