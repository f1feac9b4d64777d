#include "config/xml_file.h"

#include "base/unique_handle.h"

#include <tinyxml.h>

#include <cstdio>

namespace {

struct FileStreamTraits {
    using pointer = FILE*;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer file) noexcept { std::fclose(file); }
};
using unique_stream = base::CUniqueHandle<FileStreamTraits>;

} // namespace

bool LoadXmlFile(const std::wstring& path, TiXmlDocument& document) {
    // Binary mode: TinyXML normalises line ends itself and measures the file
    // with fseek/ftell, which text mode would make disagree with fread.
    unique_stream file(_wfopen(path.c_str(), L"rb"));
    if (!file) {
        return false;
    }
    return document.LoadFile(file.get(), TIXML_DEFAULT_ENCODING);
}
