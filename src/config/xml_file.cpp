#include "config/xml_file.h"

#include "base/unique_handle.h"
#include "digest/fetch_rules.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstring>

namespace {

struct FileStreamTraits {
    using pointer = FILE*;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer file) noexcept { std::fclose(file); }
};
using unique_stream = base::CUniqueHandle<FileStreamTraits>;

// Both files are two levels deep; elements inside an entry are allowed but
// ignored. The stack gives out at some ten thousand levels.
constexpr int kMaxElementDepth = 256;

// A file list or configuration larger than the worker ever downloads is
// not read at all: it is not ours, and taken whole it would exhaust memory.
bool ReadAll(FILE* file, std::string& text) {
    char chunk[4096];
    size_t read;
    while ((read = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        if (text.size() + read > static_cast<size_t>(kMaxFileListBytes)) {
            text.clear();
            return false;
        }
        text.append(chunk, read);
    }
    return !std::ferror(file);
}

// What TinyXML's own file loading does before it parses: CR LF and lone CR
// become LF.
void NormaliseLineEnds(std::string& text) {
    size_t out = 0;
    for (size_t in = 0; in < text.size(); ++in) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            if (in + 1 < text.size() && text[in + 1] == '\n') {
                ++in;
            }
        } else {
            text[out++] = text[in];
        }
    }
    text.resize(out);
}

// Every lead byte followed by as many continuation bytes as TinyXML's UTF-8
// table steps over, so that it never steps over markup or the end of the text.
// No zero bytes: TinyXML ends the document at the first one. And no U+FEFF,
// U+FFFE or U+FFFF after the start, which TinyXML skips as blanks inside tags.
bool IsPlainUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        size_t length;
        if (lead == 0) {
            return false;
        } else if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return false;
        }
        if (size - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        if (lead == 0xEF && i > 0 &&
            ((bytes[i + 1] == 0xBB && bytes[i + 2] == 0xBF) || (bytes[i + 1] == 0xBF && bytes[i + 2] >= 0xBE))) {
            return false;
        }
        i += length;
    }
    return true;
}

// A walk over a zero-terminated, line-end-normalised, well-formed UTF-8 text
// that follows TinyXML's reading of it: where TinyXML sees an element start,
// so does the walk. Main use: the nesting depth.
class CXmlWalk {
public:
    explicit CXmlWalk(const std::string& text) : m_p(text.c_str()) {}

    bool Run() {
        if (Starts("\xEF\xBB\xBF")) {
            m_p += 3;
        }
        int depth = 0;
        while (*m_p != '\0') {
            if (*m_p != '<') {
                if (!SkipCharacter()) {
                    return false;
                }
            } else if (StartsIgnoreCase("<?xml")) {
                if (!SkipDeclaration()) {
                    return false;
                }
            } else if (Starts("<!--")) {
                if (!SkipPast("<!--", "-->")) {
                    return false;
                }
            } else if (Starts("<![CDATA[")) {
                if (!SkipPast("<![CDATA[", "]]>")) {
                    return false;
                }
            } else if (Starts("</")) {
                if (depth == 0 || !SkipEndTag()) {
                    return false;
                }
                --depth;
            } else if (IsNameStart(m_p[1])) {
                bool opened = false;
                if (!SkipStartTag(opened)) {
                    return false;
                }
                if (opened && ++depth > kMaxElementDepth) {
                    return false;
                }
            } else {
                return false; // DOCTYPE, processing instructions: not used by these files
            }
        }
        return true;
    }

private:
    // TinyXML's letters: ASCII letters, and every byte from 127 up.
    static bool IsNameStart(char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u >= 127;
    }
    static bool IsNameChar(char c) {
        return IsNameStart(c) || (c >= '0' && c <= '9') || (c != '\0' && std::strchr("-.:", c) != nullptr);
    }
    // The blanks of the C locale's isspace, which TinyXML uses.
    static bool IsBlank(char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr; }

    bool Starts(const char* prefix) const { return std::strncmp(m_p, prefix, std::strlen(prefix)) == 0; }
    bool StartsIgnoreCase(const char* prefix) const {
        for (size_t i = 0; prefix[i] != '\0'; ++i) {
            char c = m_p[i];
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
            if (c != prefix[i]) {
                return false;
            }
        }
        return true;
    }
    void SkipBlanks() {
        while (IsBlank(*m_p)) {
            ++m_p;
        }
    }
    void SkipName() {
        while (IsNameChar(*m_p)) {
            ++m_p;
        }
    }

    // TinyXML reads "&#...;" by searching the rest of the text for a ";" and
    // then checking only the digits just before it, so a reference without
    // its digits would swallow quotes and tags up to some later ";". Only
    // complete decimal and hexadecimal references pass.
    bool SkipCharacter() {
        if (m_p[0] != '&' || m_p[1] != '#') {
            ++m_p;
            return true;
        }
        const char* p = m_p + 2;
        const bool hex = *p == 'x';
        if (hex) {
            ++p;
        }
        const char* digits = p;
        while ((*p >= '0' && *p <= '9') || (hex && ((*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F')))) {
            ++p;
        }
        if (p == digits || *p != ';') {
            return false;
        }
        m_p = p + 1;
        return true;
    }

    bool SkipPast(const char* start, const char* end) {
        const char* found = std::strstr(m_p + std::strlen(start), end);
        if (found == nullptr) {
            return false;
        }
        m_p = found + std::strlen(end);
        return true;
    }

    // After an attribute's name: blanks, "=", blanks and the opening quote,
    // which it gives back. TinyXML also takes unquoted values, with rules of
    // its own; the files never need them.
    bool OpenAttributeValue(char& quote) {
        SkipBlanks();
        if (*m_p != '=') {
            return false;
        }
        ++m_p;
        SkipBlanks();
        quote = *m_p;
        if (quote != '"' && quote != '\'') {
            return false;
        }
        ++m_p;
        return true;
    }

    // Only the plain form: blank-separated name="value" pairs whose values
    // are version numbers or encoding names, then "?>". TinyXML reads it
    // up to the first ">", and there is none before the end.
    bool SkipDeclaration() {
        m_p += 5;
        for (;;) {
            const char* before = m_p;
            SkipBlanks();
            if (Starts("?>")) {
                m_p += 2;
                return true;
            }
            if (m_p == before) {
                return false;
            }
            const char* name = m_p;
            while ((*m_p >= 'A' && *m_p <= 'Z') || (*m_p >= 'a' && *m_p <= 'z')) {
                ++m_p;
            }
            if (m_p == name) {
                return false;
            }
            char quote = 0;
            if (!OpenAttributeValue(quote)) {
                return false;
            }
            while ((*m_p >= 'A' && *m_p <= 'Z') || (*m_p >= 'a' && *m_p <= 'z') || (*m_p >= '0' && *m_p <= '9') ||
                   (*m_p != '\0' && std::strchr("._:-", *m_p))) {
                ++m_p;
            }
            if (*m_p != quote) {
                return false;
            }
            ++m_p;
        }
    }

    bool SkipStartTag(bool& opened) {
        ++m_p;
        SkipName();
        for (;;) {
            SkipBlanks();
            if (*m_p == '/') {
                if (m_p[1] != '>') {
                    return false;
                }
                m_p += 2;
                opened = false;
                return true;
            }
            if (*m_p == '>') {
                ++m_p;
                opened = true;
                return true;
            }
            if (!IsNameStart(*m_p)) {
                return false;
            }
            SkipName();
            char quote = 0;
            if (!OpenAttributeValue(quote)) {
                return false;
            }
            while (*m_p != quote) {
                if (*m_p == '\0' || !SkipCharacter()) {
                    return false;
                }
            }
            ++m_p;
        }
    }

    bool SkipEndTag() {
        m_p += 2;
        if (!IsNameStart(*m_p)) {
            return false;
        }
        SkipName();
        SkipBlanks();
        if (*m_p != '>') {
            return false;
        }
        ++m_p;
        return true;
    }

    const char* m_p;
};

} // namespace

bool IsSafeToParse(const std::string& text) {
    return IsPlainUtf8(text) && CXmlWalk(text).Run();
}

bool ReadXmlFileText(const std::wstring& path, std::string& text) {
    unique_stream file(_wfopen(path.c_str(), L"rb"));
    return file && ReadAll(file.get(), text);
}

bool ParseXmlText(std::string text, TiXmlDocument& document) {
    // Checked and parsed from the same bytes: the file may change on disk
    // in between.
    NormaliseLineEnds(text);
    if (!IsSafeToParse(text)) {
        return false;
    }
    document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    return !document.Error();
}

bool LoadXmlFile(const std::wstring& path, TiXmlDocument& document) {
    std::string text;
    return ReadXmlFileText(path, text) && ParseXmlText(std::move(text), document);
}
