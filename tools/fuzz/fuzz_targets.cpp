#include "fuzz_targets.h"

#include "app/command_line.h"
#include "base/handle_wire.h"
#include "config/file_list.h"
#include "config/xml_file.h"
#include "download/content_decoder.h"
#include "ipc/ipc_block.h"
#include "ipc/ipc_messages.h"
#include "ipc/paras_helper.h"

#include "content_decoder_vectors.h"
#include "guarded_buffer.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <set>

#include <windows.h>

namespace fuzz {

namespace {

// Canonical results: every field with its length, so that no two different
// results can print the same.
void PutText(std::string& out, const std::wstring& text) {
    out += std::to_string(text.size());
    out += ':';
    out += WideBytes(text);
}

void PutNumber(std::string& out, long long value) {
    out += std::to_string(value);
    out += ';';
}

std::vector<std::string> Wide(std::initializer_list<std::wstring> texts) {
    std::vector<std::string> inputs;
    for (const std::wstring& text : texts) {
        inputs.push_back(WideBytes(text));
    }
    return inputs;
}

// ---- paras: the packed parameter text of the IPC channel ----

bool SameMessage(const CParasHelper& a, const CParasHelper& b) {
    return a.m_strName == b.m_strName && a.m_nId == b.m_nId && a.m_vecParams == b.m_vecParams;
}

void PutMessage(std::string& out, const CParasHelper& message) {
    PutText(out, message.m_strName);
    PutNumber(out, message.m_nId);
    PutNumber(out, static_cast<long long>(message.m_vecParams.size()));
    for (const std::wstring& param : message.m_vecParams) {
        PutText(out, param);
    }
}

std::wstring Report(long gameId, long progress) {
    IPC_MainProcess_OnDownProcess report;
    report.m_gameId.m_value = gameId;
    report.m_progress.m_value = progress;
    return report.ToParas()->Pack();
}

// A short text of characters that the packed form must carry as they are:
// hex digits that look like fields, U+0000, noncharacters, lone surrogates.
std::wstring SomeText(CRandom& random) {
    static const wchar_t kChars[] = {L'0', L'1',   L'A',   L'F',   L'f',   L'x',   L' ',   L'-',   L'\\', L':',
                                     L'"', 0x0000, 0xFFFF, 0xFFFE, 0xFEFF, 0xD800, 0xDFFF, 0x4E2D, 0x00E9};
    std::wstring text(random.Below(random.OneIn(16) ? 2000 : 16), L'0');
    for (wchar_t& c : text) {
        c = kChars[random.Below(sizeof(kChars) / sizeof(kChars[0]))];
    }
    return text;
}

// A well-formed message with a random id and parameters, packed.
std::wstring SomeMessage(CRandom& random) {
    const wchar_t* name = random.OneIn(2) ? IPC_MainProcess_OnDownProcess::GetMsgName() : L"M";
    const int id = random.OneIn(2) ? 0 : static_cast<int>(random.Next());
    CParasHelper message(name, id, PARAS_END);
    for (uint32_t n = random.Below(4); n > 0; --n) {
        message.m_vecParams.push_back(SomeText(random));
    }
    return message.Pack();
}

class CParasTarget : public CFuzzTarget {
public:
    const char* Name() const override { return "paras"; }
    uint32_t UnitBytes() const override { return 2; }

    // Mutations that keep the length fields right, so that the fields
    // behind them are read: a field of a readable message changed and the
    // message packed again, a new message, or the total set to what the
    // text holds.
    bool MutateByFormat(std::string& input, CRandom& random) const override {
        std::wstring text = BytesWide(input);
        CParasHelper message(text.data(), text.size());
        if (message.IsEmpty() && random.OneIn(2)) {
            text = SomeMessage(random);
        } else if (message.IsEmpty() || random.OneIn(4)) {
            if (text.size() < 6) {
                return false;
            }
            const size_t total = std::min<size_t>(text.size() - 6, CParasHelper::kMaxTotal);
            for (size_t i = 0; i < 6; ++i) {
                text[i] = L"0123456789ABCDEF"[(total >> (4 * (5 - i))) & 0xF];
            }
        } else {
            switch (random.Below(4)) {
            case 0:
                message.m_vecParams.push_back(SomeText(random));
                break;
            case 1: {
                if (message.m_vecParams.empty()) {
                    message.m_vecParams.emplace_back();
                }
                const uint32_t which = random.Below(static_cast<uint32_t>(message.m_vecParams.size()));
                message.m_vecParams[which] = SomeText(random);
                break;
            }
            case 2:
                message.m_nId = static_cast<int>(random.Next());
                break;
            default:
                message.m_strName = SomeText(random).substr(0, CParasHelper::kMaxName);
                break;
            }
            text = message.Pack();
        }
        input = WideBytes(text);
        return true;
    }

    std::vector<std::string> Corpus() const override {
        return Wide({
            Report(1234, 56),
            Report(-1, -1),
            Report(0, 100),
            Report(INT_MAX, 0),
            CParasHelper(L"Ping", 0, PARAS_END).Pack(),
            CParasHelper(nullptr, 0, PARAS_END).Pack(),
            CParasHelper(L"E", 0, L"", L"x", nullptr, PARAS_END).Pack(),
            CParasHelper(L"M", 0x12345, PARAS_END).Pack(),
            CParasHelper(L"M", -1, L"C:\\games\\x", PARAS_END).Pack(),
            CParasHelper(L"M", INT_MIN, L"\xD800", L"\xFFFF", L"\x4E2D\x6587", PARAS_END).Pack(),
            CParasHelper(std::wstring(255, L'n').c_str(), 7, L"a", PARAS_END).Pack(),
            // The id written zeros first, and halves that add up past 2^32.
            L"00001501M10"
            L"00000000"
            L"00012345",
            L"00001501M10FFFFFFFF00000002",
            // A message, then what a block holds after it.
            Report(1234, 56) + L"XYZ",
            std::wstring(L"000008"
                         L"04Ping00") +
                L'\0' + L"000008",
            L"",
            L"000000",
            L"FFFFFF",
            L"00003a1DIPC_MainProcess_OnDownProcess00",
            L"00000F04Ping00000005ab",
        });
    }

    std::vector<std::string> Tokens() const override {
        return Wide({L"000000", L"00", L"10", L"1D", L"04Ping", L"IPC_MainProcess_OnDownProcess", L"FFFFFF", L"000001x",
                     L"00000000", L"FFFFFFFF", std::wstring(1, L'\0')});
    }

    std::string Run(const std::string& input, CGuardedBuffer& guard, Verdict& verdict) override {
        const size_t units = input.size() / 2;
        const auto* text = static_cast<const wchar_t*>(guard.Place(input.data(), input.size()));
        const CParasHelper sized(text, units);

        // The zero-terminated form reads up to the first U+0000, which is the
        // input's own or the one placed right before the guard.
        size_t zero = 0;
        while (zero < units && text[zero] != L'\0') {
            ++zero;
        }
        m_terminated.assign(input);
        m_terminated.append(2, '\0');
        const CParasHelper terminated(
            static_cast<const wchar_t*>(guard.Place(m_terminated.data(), m_terminated.size())));

        std::string out;
        PutMessage(out, sized);
        PutMessage(out, terminated);
        verdict.accepted = !sized.IsEmpty();

        if (zero == units) {
            if (!SameMessage(terminated, sized)) {
                verdict.problem = "the zero-terminated and the sized form read the same text differently";
            }
        } else {
            const auto* head = static_cast<const wchar_t*>(guard.Place(input.data(), zero * 2));
            if (!SameMessage(terminated, CParasHelper(head, zero))) {
                verdict.problem = "the zero-terminated form does not read the text up to its first U+0000";
            }
        }
        if (verdict.problem.empty() && !sized.IsEmpty()) {
            // Whatever unpacks packs again (its fields fit the widths they
            // came in), and unpacks to the same message.
            const std::wstring packed = sized.Pack();
            if (packed.empty()) {
                verdict.problem = "a message read from a text does not pack";
            } else if (!SameMessage(CParasHelper(packed.data(), packed.size()), sized)) {
                verdict.problem = "packing a read message and reading it again changes it";
            }
        }
        return out;
    }

private:
    std::string m_terminated;
};

// ---- cmdline: the program's command line ----

class CCommandLineTarget : public CFuzzTarget {
public:
    const char* Name() const override { return "cmdline"; }
    uint32_t UnitBytes() const override { return 2; }

    std::vector<std::string> Corpus() const override {
        return Wide({
            L"-openurl:http://127.0.0.1:8080/FileList.xml -apppath:\"C:\\games\\x\" -gameid:42 -biw:123456 "
            L"-noprocess -norun",
            L"-downtype:URL -apppath:data\\a.pak",
            L"-norun -noprocess -downtype:http://cdn.example/game/music.pak -apppath:\\extras\\music.pak",
            L"--openurl:http://cdn.example/game/FileList.xml --gameid:1234 --biw:65862",
            L"/openurl:http://x/ /apppath:D:\\Games\\Game /biw:-5",
            L"DovuVadedeZizaz",
            L"anzhuang -gameid:3",
            L"http://cdn.example/FileList.xml",
            L"x -apppath:\"D:\\games\\\" -c",
            L"x -apppath:\"D:\\games\\\\\" -c",
            L"-a:\"x y\" -b",
            L"x \"-apppath D:\\x\" \"-apppath games\"",
            L"x -key=a:b -k=v",
            L"-gameid:2147483648 -biw:-2147483649 -n:99999999999999999999",
            L"   -gameid: 12  -biw:+7\t-x",
            L"\"\" -x:\"\" -",
            L"-biw:0x10 -gameid:-0 -gameid:5",
            L"x -apppath:\"C:\\\x6E38\x620F\\x\" -gameid:\xFF11",
        });
    }

    std::vector<std::string> Tokens() const override {
        return Wide({L" -openurl:",
                     L" -apppath:",
                     L" -gameid:",
                     L" -biw:",
                     L" -noprocess",
                     L" -norun",
                     L" -downtype:",
                     L" --",
                     L" /",
                     L"\"",
                     L"\\\"",
                     L"\\\\\"",
                     L"\"\"",
                     L":",
                     L"=",
                     L" ",
                     L"\t",
                     L"http://",
                     L"C:\\games\\x\\",
                     L"DovuVadedeZizaz"});
    }

    std::string Run(const std::string& input, CGuardedBuffer& /*guard*/, Verdict& verdict) override {
        const std::wstring text = BytesWide(input);
        CCommandLine options;
        options.Parse(text);

        std::string out;
        for (const std::wstring& name : ProbeNames(text)) {
            const bool has = options.HasOption(name);
            const std::wstring value = options.GetOption(name);
            const int number = options.GetOptionInt(name);
            PutText(out, name);
            PutNumber(out, has ? 1 : 0);
            PutText(out, value);
            PutNumber(out, number);
            verdict.accepted = verdict.accepted || has;
            if (!has && (!value.empty() || number != 0)) {
                verdict.problem = "an option that is not there has a value";
            } else if (verdict.problem.empty() && IsShortDecimal(value)) {
                if (number != std::wcstol(value.c_str(), nullptr, 10)) {
                    verdict.problem = "GetOptionInt misreads a plain decimal number";
                }
            }
        }
        return out;
    }

private:
    // The options the program asks for, and every name the text seems to
    // hold: whatever follows a "-", "--" or "/" at the start of a word, up to
    // a separator.
    static std::set<std::wstring> ProbeNames(const std::wstring& text) {
        std::set<std::wstring> names = {L"openurl", L"apppath",  L"gameid", L"biw", L"noprocess",
                                        L"norun",   L"downtype", L"",       L"a",   L"apppath D"};
        constexpr size_t kMaxNames = 40;
        for (size_t i = 0; i < text.size() && names.size() < kMaxNames; ++i) {
            const bool wordStart = i == 0 || text[i - 1] == L' ' || text[i - 1] == L'\t' || text[i - 1] == L'"';
            if (!wordStart || (text[i] != L'-' && text[i] != L'/')) {
                continue;
            }
            size_t begin = i + 1;
            if (text[i] == L'-' && begin < text.size() && text[begin] == L'-') {
                ++begin;
            }
            size_t end = begin;
            while (end < text.size() && end - begin < 64 && std::wcschr(L": =\t\"", text[end]) == nullptr) {
                ++end;
            }
            names.insert(text.substr(begin, end - begin));
        }
        return names;
    }

    // Up to nine digits after an optional sign: within range of any reading.
    static bool IsShortDecimal(const std::wstring& value) {
        size_t i = (!value.empty() && (value[0] == L'-' || value[0] == L'+')) ? 1 : 0;
        const size_t digits = value.size() - i;
        if (digits == 0 || digits > 9) {
            return false;
        }
        for (; i < value.size(); ++i) {
            if (value[i] < L'0' || value[i] > L'9') {
                return false;
            }
        }
        return true;
    }
};

// ---- filelist: the FileList.xml text that comes over plain HTTP ----

// Paths of any length: the fuzzer's runs make FilePaths of thousands of characters.
std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return std::wstring();
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        return std::wstring();
    }
    full.resize(length);
    return full;
}

bool EqualsIgnoreCase(const std::wstring& a, size_t length, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(length), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

wchar_t AsciiUpper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool IsDeviceName(const std::wstring& component) {
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (wchar_t& c : base) {
        c = AsciiUpper(c);
    }
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
        if (base == device) {
            return true;
        }
    }
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           ((base[3] >= L'0' && base[3] <= L'9') || base[3] == L'\x00B9' || base[3] == L'\x00B2' ||
            base[3] == L'\x00B3');
}

// What the header promises of an accepted FilePath, checked without the
// reader's own functions: a relative path of plain names.
const char* PathFault(const std::wstring& path) {
    size_t begin = (!path.empty() && (path[0] == L'\\' || path[0] == L'/')) ? 1 : 0;
    if (begin == path.size()) {
        return "an accepted FilePath names no file";
    }
    for (;;) {
        size_t end = begin;
        while (end < path.size() && path[end] != L'\\' && path[end] != L'/') {
            ++end;
        }
        const std::wstring name = path.substr(begin, end - begin);
        if (name.empty() || name == L"." || name == L"..") {
            return "an accepted FilePath holds an empty, \".\" or \"..\" name";
        }
        if (name.back() == L'.' || name.back() == L' ') {
            return "an accepted FilePath holds a name ending in a dot or a blank";
        }
        for (wchar_t c : name) {
            if (c < 0x20 || std::wcschr(L"<>:\"|?*%", c) != nullptr) {
                return "an accepted FilePath holds a colon, wildcard, control character or %";
            }
        }
        if (IsDeviceName(name)) {
            return "an accepted FilePath names a device";
        }
        if (end == path.size()) {
            return nullptr;
        }
        begin = end + 1;
    }
}

bool IsWebAddress(const std::wstring& url) {
    std::wstring head = url.substr(0, 8);
    for (wchar_t& c : head) {
        c = AsciiUpper(c);
    }
    return head.compare(0, 7, L"HTTP://") == 0 || head == L"HTTPS://";
}

std::string NormaliseLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    return out;
}

const char kEntry[] = "<File FilePath=\"\\bin\\game.exe\" url=\"http://127.0.0.1/x/game.exe\" "
                      "md5=\"0123456789abcdef0123456789abcdef\" opt=\"RUN\" CMD=\"-x\"/>";

class CFileListTarget : public CFuzzTarget {
public:
    const char* Name() const override { return "filelist"; }
    uint32_t UnitBytes() const override { return 1; }

    // A well-formed entry put before the list's end, made of the names and
    // addresses that the checks are there for, so that most such lists
    // still parse and it is the path and address checks that decide.
    bool MutateByFormat(std::string& input, CRandom& random) const override {
        // The names and addresses that pass come first: half the entries are
        // made of those alone, so that lists of several entries still pass
        // and their duplicates are compared.
        static const char* const kNames[] = {"bin",          "game.exe",  "BIN",   "Game.EXE",     "\xE6\x95\xB0",
                                             "\xE2\x80\xAE", "\xC2\xA0x", "&amp;", "data",         "a.b.c",
                                             "..",           ".",         "",      "a.",           "a ",
                                             "NUL",          "nul.txt",   "COM1",  "com\xC2\xB9",  "LPT9.log",
                                             "CON .x",       "CONIN$",    "C:",    "x:y",          "%TEMP%",
                                             "a*b",          "a?b",       "a|b",   "\xEF\xBC\x9A", "&#46;&#46;",
                                             "&lt;x&gt;",    "&#x2F;",    "\x7F",  "a\tb"};
        constexpr uint32_t kGoodNames = 10;
        static const char* const kSeparators[] = {"\\", "/", "\\\\", "\\/"};
        static const char* const kUrls[] = {"http://h/x",
                                            "HTTPS://h/x",
                                            "https://127.0.0.1:8080/a?b=1&amp;c",
                                            "hTtP://h/%00",
                                            "ftp://h/x",
                                            "file:///C:/x",
                                            "",
                                            "http:/h",
                                            " http://h",
                                            "\\\\h\\x",
                                            "C:\\x"};
        constexpr uint32_t kGoodUrls = 4;
        static const char* const kDigests[] = {"", "0123456789abcdef0123456789abcdef", "AA", "aa", "\xC3\xA9"};
        static const char* const kOpts[] = {"", "RUN", "run", "DELAY", "Delay", "x"};
        if (input.find("</FileList>") == std::string::npos || random.OneIn(3)) {
            input = "<FileList>" + std::string(kEntry) + "</FileList>";
        }
        const bool good = random.OneIn(2);
        const uint32_t names = good ? kGoodNames : sizeof(kNames) / sizeof(kNames[0]);
        const uint32_t separators = good ? 2 : 4;
        std::string path = random.OneIn(2) ? kSeparators[random.Below(separators)] : "";
        for (uint32_t n = 1 + random.Below(4); n > 0; --n) {
            path += kNames[random.Below(names)];
            if (n > 1) {
                path += kSeparators[random.Below(separators)];
            }
        }
        const char* url = kUrls[random.Below(good ? kGoodUrls : sizeof(kUrls) / sizeof(kUrls[0]))];
        const char* digest = kDigests[random.Below(sizeof(kDigests) / sizeof(kDigests[0]))];
        const char* opt = kOpts[random.Below(sizeof(kOpts) / sizeof(kOpts[0]))];
        const std::string entry =
            "<File FilePath=\"" + path + "\" url=\"" + url + "\" md5=\"" + digest + "\" opt=\"" + opt + "\"/>";
        const size_t end = input.rfind("</FileList>");
        input.insert(end, entry);
        return true;
    }

    std::vector<std::string> Corpus() const override {
        const std::string entry = kEntry;
        return {
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FileList>" + entry + "</FileList>",
            "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<FileList>\r\n  " + entry +
                "\r\n</FileList>\r\n",
            "<!-- made by the packer --><FileList><!-- files -->" + entry +
                "<File FilePath=\"\\data\\level1.pak\" url=\"https://cdn.example/game/data/level1.pak\" md5=\"\" "
                "opt=\"\"/><File FilePath='\\extras\\music.pak' url='http://cdn.example/game/extras/music.pak' "
                "md5='ffffffffffffffffffffffffffffffff' opt='DELAY'/></FileList>",
            "<FileList><File FilePath=\"\\a\\b.txt\" url=\"http://h/a\" md5=\"1\"><Extra><Deeper x=\"1\"/></Extra>"
            "</File><Group><File FilePath=\"c.txt\" url=\"http://h/c\"/></Group></FileList>",
            "<FileList><File FilePath=\"\\R&amp;D\\&#65;&#x42;.txt\" url=\"http://h/r?a=1&amp;b=&lt;2&gt;\" "
            "md5=\"&quot;\" CMD=\"&apos;-x&apos;\"/></FileList>",
            "<FileList><![CDATA[<File FilePath=\"\\..\\evil\"/>]]><File FilePath=\"x\" url=\"http://h/x\"/>"
            "</FileList>",
            "<FileList><File FilePath=\"\\bin\\a.dll\" url=\"http://h/1\" md5=\"AA\"/>"
            "<File FilePath=\"/BIN/A.DLL\" url=\"http://h/2\" md5=\"aa\"/>"
            "<File FilePath=\"bin\\a.dll\" url=\"http://h/3\" md5=\"ab\"/></FileList>",
            "<FileList><File FilePath=\"\\\xE6\x95\xB0\xE6\x8D\xAE\\a.pak\" url=\"http://h/%E6%95%B0\" "
            "CMD=\"\xC3\xA9\"/></FileList>",
            "<FileList/>",
            "<FileList><File FilePath=\"\\..\\..\\Windows\\x.dll\" url=\"http://h/x\"/></FileList>",
            "<FileList><File FilePath=\"C:\\x\" url=\"file:///C:/x\"/><File FilePath=\"NUL.txt\"/></FileList>",
            "<Lumo><Client downurl=\"http://cdn.example/game/FileList.xml\" channelid=\"1001\"/></Lumo>",
        };
    }

    std::vector<std::string> Tokens() const override {
        return {"<File ",
                "/>",
                "</File>",
                "<FileList>",
                "</FileList>",
                " FilePath=\"",
                " url=\"http://",
                " url=\"https://",
                " md5=\"",
                " opt=\"RUN\"",
                " opt=\"DELAY\"",
                " CMD=\"",
                "\"",
                "'",
                "=",
                "\\",
                "/",
                "..",
                "\\..\\",
                "C:",
                "\\\\?\\",
                "\\\\server\\share\\",
                "NUL",
                "COM1",
                "con.txt",
                "%APPDATA%",
                "<!--",
                "-->",
                "<![CDATA[",
                "]]>",
                "<?xml version=\"1.0\"?>",
                "<!DOCTYPE FileList>",
                "<?pi x?>",
                "&amp;",
                "&#",
                "&#x",
                "&#0;",
                "&#65;",
                ";",
                "<a><a><a><a><a><a><a><a>",
                "</a>",
                "\r\n",
                "\r",
                " ",
                "\t"};
    }

    std::string Run(const std::string& input, CGuardedBuffer& /*guard*/, Verdict& verdict) override {
        // The folder is a function of the input, so both runs use the same;
        // with a backslash at its end "\a" and "a" name the same file.
        static const wchar_t* const kFolders[] = {L"C:\\games\\x", L"C:\\games\\x\\", L""};
        const std::wstring folder = kFolders[input.size() % 3];
        const bool safe = IsSafeToParse(input);
        std::vector<FileListItem> entries(1, Sentinel());
        const bool usable = ParseFileList(input, folder, entries);

        std::string out;
        PutNumber(out, safe ? 1 : 0);
        PutNumber(out, usable ? 1 : 0);
        verdict.accepted = usable;
        PutNumber(out, static_cast<long long>(entries.size()));
        for (const FileListItem& item : entries) {
            for (const std::wstring* field : {&item.FilePath, &item.url, &item.md5, &item.opt, &item.CMD}) {
                PutText(out, *field);
            }
        }

        if (!usable) {
            if (entries.size() != 1 || entries[0].FilePath != Sentinel().FilePath || entries[0].url != Sentinel().url) {
                verdict.problem = "a refused list changed the entries it was given";
            }
            return out;
        }
        if (folder.empty()) {
            verdict.problem = "a list was accepted without a target folder";
        } else if (!IsSafeToParse(NormaliseLineEnds(input))) {
            verdict.problem = "a list was accepted that IsSafeToParse refuses";
        } else {
            verdict.problem = AcceptedEntriesFault(folder, entries);
        }
        return out;
    }

private:
    static FileListItem Sentinel() { return FileListItem{L"?sentinel", L"sentinel:", L"", L"", L""}; }

    static std::string AcceptedEntriesFault(const std::wstring& folder, const std::vector<FileListItem>& entries) {
        std::wstring inside = FullPath(folder);
        if (!inside.empty() && inside.back() != L'\\') {
            inside += L'\\';
        }
        std::vector<std::wstring> fullPaths;
        for (const FileListItem& item : entries) {
            if (const char* fault = PathFault(item.FilePath)) {
                return fault;
            }
            if (!IsWebAddress(item.url)) {
                return "an accepted entry's url is not an http:// or https:// address";
            }
            const std::wstring full = FullPath(folder + item.FilePath);
            if (inside.empty() || full.size() <= inside.size() || !EqualsIgnoreCase(full, inside.size(), inside)) {
                return "an accepted FilePath leaves the target folder";
            }
            fullPaths.push_back(full);
        }
        // Windows compares names ordinally without regard to case.
        std::sort(fullPaths.begin(), fullPaths.end(), [](const std::wstring& a, const std::wstring& b) {
            return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                          TRUE) == CSTR_LESS_THAN;
        });
        for (size_t i = 1; i < fullPaths.size(); ++i) {
            if (EqualsIgnoreCase(fullPaths[i - 1], fullPaths[i - 1].size(), fullPaths[i])) {
                return "two accepted entries name the same file";
            }
        }
        return std::string();
    }
};

// ---- block: a shared-memory block of the IPC channel ----

uint32_t ReadLe32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int b = 3; b >= 0; --b) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + b]);
    }
    return value;
}

void WriteLe32(std::string& bytes, size_t at, uint32_t value) {
    for (int b = 0; b < 4; ++b) {
        bytes[at + b] = static_cast<char>(value >> (8 * b));
    }
}

std::string MakeBlock(const std::wstring& text, uint32_t wnd, uint32_t handle) {
    std::string block(12, '\0');
    WriteLe32(block, 0, wnd);
    WriteLe32(block, 4, handle);
    WriteLe32(block, 8, static_cast<uint32_t>((text.size() + 1) * 2));
    return block + WideBytes(text) + std::string(2, '\0');
}

class CBlockTarget : public CFuzzTarget {
public:
    const char* Name() const override { return "block"; }
    uint32_t UnitBytes() const override { return 1; }

    std::vector<std::string> Corpus() const override {
        std::vector<std::string> corpus = {
            MakeBlock(Report(1234, 56), 0x1234, 0x88),
            MakeBlock(Report(-1, -1), 0x80000000u, 0xFFFFFFFFu),
            MakeBlock(L"", 0, 0),
            MakeBlock(CParasHelper(L"M", 5, L"a", PARAS_END).Pack() + std::wstring(L"\0tail", 5), 0x7FFFFFFF, 4),
            std::string(12, '\0'),
            std::string(11, '\x01'),
            std::string(),
        };
        // The length field huge, odd, and one byte past the view.
        std::string block = MakeBlock(Report(1234, 56), 0x1234, 0x88);
        for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF4u, 117u, static_cast<uint32_t>(block.size() - 11)}) {
            WriteLe32(block, 8, length);
            corpus.push_back(block);
        }
        return corpus;
    }

    std::vector<std::string> Tokens() const override {
        return {WideBytes(Report(1234, 56)), std::string(2, '\0'), std::string(4, '\xFF'), std::string("\x74\0\0\0", 4),
                WideBytes(L"000008")};
    }

    // A header field set to a value at an edge: the view's own size, one
    // either side of it, odd, or so large that adding the header wraps. Or
    // a new well-formed payload with its own length, as a sender writes it.
    bool MutateByFormat(std::string& input, CRandom& random) const override {
        if (input.size() < kBlockHeaderSize) {
            input.resize(kBlockHeaderSize, '\0');
        }
        if (random.OneIn(4)) {
            input = MakeBlock(SomeMessage(random), ReadLe32(input, 0), ReadLe32(input, 4));
            return true;
        }
        const uint32_t room = static_cast<uint32_t>(input.size() - kBlockHeaderSize);
        const uint32_t values[] = {
            0,           1,           2,           3,           room,        room - 1,
            room + 1,    room + 2,    room | 1,    0x7FFFFFFF,  0x80000000u, 0xFFFFFFFFu,
            0xFFFFFFF4u, 0xFFFFFFF3u, 0x00010000u, 0xFFFF0000u, 0x8000000Cu, static_cast<uint32_t>(random.Next())};
        const uint32_t field = random.OneIn(2) ? 2 : random.Below(3);
        WriteLe32(input, 4 * field, values[random.Below(sizeof(values) / sizeof(values[0]))]);
        return true;
    }

    std::string Run(const std::string& input, CGuardedBuffer& guard, Verdict& verdict) override {
        // Every view size from nothing to a few hundred bytes, the whole
        // input, and the sizes around where the length field says the
        // payload ends.
        constexpr size_t kSweep = 256;
        const size_t size = input.size();
        std::vector<size_t> sizes;
        for (size_t s = 0; s <= std::min(size, kSweep); ++s) {
            sizes.push_back(s);
        }
        sizes.push_back(size);
        if (size >= kBlockHeaderSize) {
            const uint64_t end = kBlockHeaderSize + static_cast<uint64_t>(ReadLe32(input, 8));
            for (uint64_t s = end - 1; s <= end + 1; ++s) {
                if (s > kSweep && s < size) {
                    sizes.push_back(static_cast<size_t>(s));
                }
            }
        }
        std::sort(sizes.begin(), sizes.end());
        sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());

        std::string out;
        for (size_t s : sizes) {
            // At the very end of the buffer, so that a read of one byte too
            // many faults. An odd size leaves the text at an odd address:
            // both architectures are x86, which reads it all the same.
            const auto* view = static_cast<const unsigned char*>(guard.Place(input.data(), s));
            IPCBlockContents contents;
            const bool read = ReadBlock(view, s, &contents);
            PutNumber(out, static_cast<long long>(s));
            PutNumber(out, read ? 1 : 0);
            if (!read) {
                if (s >= kBlockHeaderSize) {
                    verdict.problem = "ReadBlock refused a view that holds a header";
                } else if (contents.hSenderWnd != nullptr || contents.hSenderBlock != nullptr ||
                           contents.cbPayload != 0 || contents.pText != nullptr || contents.bPayloadFits) {
                    verdict.problem = "ReadBlock refused a view but left something in the contents";
                }
                continue;
            }
            if (s < kBlockHeaderSize) {
                verdict.problem = "ReadBlock read a header from a view too small for one";
                continue;
            }
            PutNumber(out, base::HandleToWire(contents.hSenderWnd));
            PutNumber(out, base::HandleToWire(contents.hSenderBlock));
            PutNumber(out, contents.cbPayload);
            PutNumber(out, contents.bPayloadFits ? 1 : 0);
            if (base::HandleToWire(contents.hSenderWnd) != ReadLe32(input, 0) ||
                base::HandleToWire(contents.hSenderBlock) != ReadLe32(input, 4) ||
                contents.cbPayload != ReadLe32(input, 8)) {
                verdict.problem = "ReadBlock's fields are not the header's bytes";
            }
            const bool fits = contents.cbPayload <= s - kBlockHeaderSize;
            if (contents.bPayloadFits != fits) {
                verdict.problem = "ReadBlock says the payload fits where it does not, or the other way round";
                continue;
            }
            if (!fits) {
                if (contents.pText != nullptr) {
                    verdict.problem = "a payload longer than the view still has a text";
                }
                continue;
            }
            if (reinterpret_cast<const unsigned char*>(contents.pText) != view + kBlockHeaderSize) {
                verdict.problem = "the payload's text is not right after the header";
                continue;
            }
            const size_t chars = PayloadChars(contents.pText, contents.cbPayload);
            PutNumber(out, static_cast<long long>(chars));
            CheckPayloadChars(contents.pText, contents.cbPayload, chars, verdict.problem);
            // What the channel does next with a received block.
            const CParasHelper message(contents.pText, chars);
            PutMessage(out, message);
            verdict.accepted = verdict.accepted || (s == size && !message.IsEmpty());
        }

        // PayloadChars alone, on the bytes after the header, with lengths
        // that end exactly at the guard, one byte short of it (odd) and at 0.
        const std::string payload = size >= kBlockHeaderSize ? input.substr(kBlockHeaderSize) : input;
        const auto* text = static_cast<const wchar_t*>(guard.Place(payload.data(), payload.size()));
        for (size_t cb : {payload.size(), payload.size() > 0 ? payload.size() - 1 : 0, size_t{0}}) {
            const size_t chars = PayloadChars(text, cb);
            PutNumber(out, static_cast<long long>(chars));
            CheckPayloadChars(text, cb, chars, verdict.problem);
        }
        return out;
    }

private:
    static void CheckPayloadChars(const wchar_t* text, size_t cbPayload, size_t chars, std::string& problem) {
        const size_t limit = cbPayload / sizeof(wchar_t);
        if (chars > limit) {
            problem = "PayloadChars counts beyond the payload's bytes";
            return;
        }
        for (size_t i = 0; i < chars; ++i) {
            if (text[i] == L'\0') {
                problem = "PayloadChars counts past a U+0000";
                return;
            }
        }
        if (chars < limit && text[chars] != L'\0') {
            problem = "PayloadChars stops before the end at something that is not U+0000";
        }
    }
};

// ---- decoder: a body sent with Content-Encoding gzip or deflate ----

// Deflate's densest code: a match of 258 bytes in two bits.
constexpr uint64_t kMaxDecodedPerByte = 1032;

// Takes up to a bound, then refuses, so that the largest expansions still
// end quickly and the refusal is fuzzed too; notes what the header forbids.
class CBoundedSink : public CContentDecoder::CSink {
public:
    bool Write(const unsigned char* data, size_t size) noexcept override {
        m_bBroken = m_bBroken || size == 0 || m_bEnded;
        m_nOffered += size;
        ++m_nCalls;
        if (size > kBound - m_nTaken) {
            return false;
        }
        m_nDigest = Fnv1a(data, size, m_nDigest);
        m_nTaken += size;
        return true;
    }

    static constexpr size_t kBound = 128 * 1024; // four windows: wraps, and a refusal soon after
    uint64_t m_nDigest = 0xCBF29CE484222325ull;
    uint64_t m_nOffered = 0;
    size_t m_nTaken = 0;
    uint64_t m_nCalls = 0;
    bool m_bEnded = false;  // the decoder gave an error: no call may follow
    bool m_bBroken = false; // an empty call, or one after an error
};

class CDecoderTarget : public CFuzzTarget {
public:
    const char* Name() const override { return "decoder"; }
    uint32_t UnitBytes() const override { return 1; }

    std::vector<std::string> Corpus() const override {
        std::vector<std::string> corpus;
        for (const content_vectors::Vector& vector : content_vectors::kVectors) {
            corpus.emplace_back(vector.encoded, vector.encodedSize);
        }
        // Long codes, far matches, the window's wrap and (past the sink's
        // bound) its refusal.
        for (const content_vectors::DigestVector& vector : content_vectors::kDigestVectors) {
            corpus.emplace_back(vector.encoded, vector.encodedSize);
        }
        const std::string segment(content_vectors::kRawSegment, sizeof(content_vectors::kRawSegment) - 1);
        corpus.push_back(segment + segment + std::string("\x03\x00", 2));
        corpus.push_back(corpus[1] + corpus[2]);
        corpus.push_back(std::string("\x03\x00", 2));
        corpus.push_back(std::string("\x01\x00\x00\xff\xff", 5));
        return corpus;
    }

    std::vector<std::string> Tokens() const override {
        return {std::string("\x1f\x8b\x08\x00", 4),
                std::string("\x1f\x8b\x08\x1e", 4),
                std::string("\x78\x9c", 2),
                std::string("\x78\x01", 2),
                std::string("\x78\xbb", 2),
                std::string("\x00\x00\xff\xff", 4),
                std::string("\x01\x00\x00\xff\xff", 5),
                std::string("\x03\x00", 2),
                std::string("\x05\xe0", 2),
                std::string(8, '\0'),
                std::string(4, '\xff'),
                std::string(1, '\0')};
    }

    // A gzip member without optional fields, or a zlib stream, stripped to
    // the raw deflate inside: FORMAT_DEFLATE decodes it without a check at
    // its end, so a mutated stream decodes to its end and reaches the
    // decoder's later states instead of failing at the checksum.
    bool MutateByFormat(std::string& input, CRandom& /*random*/) const override {
        if (input.size() > 18 && input.compare(0, 4, "\x1f\x8b\x08\x00", 4) == 0) {
            input = input.substr(10, input.size() - 18);
            return true;
        }
        if (input.size() > 6 && input[0] == '\x78') {
            input = input.substr(2, input.size() - 6);
            return true;
        }
        return false;
    }

    std::string Run(const std::string& input, CGuardedBuffer& guard, Verdict& verdict) override {
        const auto* body = static_cast<const unsigned char*>(guard.Place(input.data(), input.size()));
        // The pieces of the second decoding are a function of the input, so
        // that both runs of an input split it alike.
        static const uint32_t kPieces[][4] = {{1, 1, 1, 1}, {1, 2, 3, 5}, {7, 0, 13, 1}, {64, 1, 4096, 3}};
        const uint64_t hash = Fnv1a(input.data(), input.size());
        const uint32_t* pieces = kPieces[hash % 4];

        std::string out;
        for (CContentDecoder::Format format : {CContentDecoder::FORMAT_GZIP, CContentDecoder::FORMAT_DEFLATE}) {
            const std::string whole = Decode(format, body, input.size(), nullptr, verdict);
            const std::string split = Decode(format, body, input.size(), pieces, verdict);
            if (whole != split && verdict.problem.empty()) {
                verdict.problem = "two splits of one body decode differently";
            }
            out += whole;
        }
        return out;
    }

private:
    // Decodes the body whole (pieces null) or in pieces of the four sizes in
    // turn, and returns the result, whether it was complete, and what the
    // sink was given. One decoder serves every input: a new one costs more
    // than most inputs take to decode, and what the last input left in it
    // must change nothing.
    std::string Decode(CContentDecoder::Format format, const unsigned char* body, size_t size, const uint32_t* pieces,
                       Verdict& verdict) {
        CContentDecoder& decoder = m_decoder;
        decoder.Reset(format);
        CBoundedSink sink;
        CContentDecoder::Result result = CContentDecoder::DECODE_MORE;
        size_t at = 0;
        uint32_t turn = 0;
        do {
            const size_t piece = pieces == nullptr ? size : std::min<size_t>(pieces[turn++ % 4], size - at);
            result = decoder.Feed(body + at, piece, sink);
            at += piece;
            sink.m_bEnded = result == CContentDecoder::DECODE_MALFORMED || result == CContentDecoder::DECODE_REFUSED;
        } while (at < size);

        if (!decoder.Ready()) {
            verdict.problem = "the decoder could not take its memory";
        } else if (decoder.Complete() != (result == CContentDecoder::DECODE_DONE)) {
            verdict.problem = "Complete() disagrees with the last result";
        } else if (sink.m_bBroken) {
            verdict.problem = "the sink was called with nothing, or after an error";
        } else if (sink.m_nOffered > kMaxDecodedPerByte * size) {
            verdict.problem = "more decoded bytes than deflate can encode in the body";
        } else if ((result == CContentDecoder::DECODE_REFUSED) != (sink.m_nOffered > CBoundedSink::kBound)) {
            verdict.problem = "a refusal that the sink did not make, or one the decoder missed";
        }
        verdict.accepted = verdict.accepted || result == CContentDecoder::DECODE_DONE;

        std::string out;
        PutNumber(out, result);
        PutNumber(out, decoder.Complete() ? 1 : 0);
        PutNumber(out, static_cast<long long>(sink.m_nTaken));
        PutNumber(out, static_cast<long long>(sink.m_nCalls));
        PutNumber(out, static_cast<long long>(sink.m_nDigest));
        return out;
    }

    CContentDecoder m_decoder{CContentDecoder::FORMAT_GZIP};
};

} // namespace

std::vector<std::unique_ptr<CFuzzTarget>> MakeTargets() {
    std::vector<std::unique_ptr<CFuzzTarget>> targets;
    targets.push_back(std::make_unique<CParasTarget>());
    targets.push_back(std::make_unique<CCommandLineTarget>());
    targets.push_back(std::make_unique<CFileListTarget>());
    targets.push_back(std::make_unique<CBlockTarget>());
    targets.push_back(std::make_unique<CDecoderTarget>());
    return targets;
}

} // namespace fuzz
