#include "download/resume_record.h"

#include "base/file_names.h"
#include "base/unique_handle.h"
#include "digest/md5.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include <windows.h>

namespace {

// The layout, little-endian: the header below, then the four texts in the
// order of ResumeRecord (each a 32-bit count of UTF-16 units, then the
// units), then the whole length as a signed 64-bit value. Nothing follows.
struct RecordHeader {
    char magic[8];     // "RVRESUME"
    uint32_t nVersion; // kRecordVersion
};
static_assert(sizeof(RecordHeader) == 12, "the header has no padding");
static_assert(offsetof(RecordHeader, nVersion) == 8, "the version follows the magic");

const char kRecordMagic[8] = {'R', 'V', 'R', 'E', 'S', 'U', 'M', 'E'};
constexpr uint32_t kRecordVersion = 1;

// Bounds of each text, in UTF-16 units: a target path, a digest, a URL as
// long as a list may carry one, an entity tag or date. A record is at most
// a little over 200 KiB, read whole.
constexpr uint32_t kMostTargetUnits = 32768;
constexpr uint32_t kMostMd5Units = 64;
constexpr uint32_t kMostUrlUnits = 65536;
constexpr uint32_t kMostValidatorUnits = 256;
constexpr DWORD kMostRecordBytes = sizeof(RecordHeader) + 4 * sizeof(uint32_t) +
                                   2 * (kMostTargetUnits + kMostMd5Units + kMostUrlUnits + kMostValidatorUnits) +
                                   sizeof(int64_t);

void PutText(std::vector<char>& out, const std::wstring& text) {
    const uint32_t units = static_cast<uint32_t>(text.size());
    const char* count = reinterpret_cast<const char*>(&units);
    out.insert(out.end(), count, count + sizeof(units));
    const char* data = reinterpret_cast<const char*>(text.data());
    out.insert(out.end(), data, data + units * sizeof(wchar_t));
}

bool TakeText(const std::vector<char>& in, size_t& pos, uint32_t most, std::wstring& text) {
    uint32_t units = 0;
    if (in.size() - pos < sizeof(units)) {
        return false;
    }
    std::memcpy(&units, in.data() + pos, sizeof(units));
    pos += sizeof(units);
    if (units > most || (in.size() - pos) / sizeof(wchar_t) < units) {
        return false;
    }
    text.assign(units, L'\0');
    if (units > 0) {
        std::memcpy(&text[0], in.data() + pos, units * sizeof(wchar_t));
    }
    pos += units * sizeof(wchar_t);
    // A text with a terminator inside would read as another text by any
    // caller that takes it as a C string.
    return text.find(L'\0') == std::wstring::npos;
}

} // namespace

bool ResumeRecord::Complete() const noexcept {
    return !strTarget.empty() && strTarget.size() <= kMostTargetUnits && IsDigestText(strMd5) && !strUrl.empty() &&
           strUrl.size() <= kMostUrlUnits && !strValidator.empty() && strValidator.size() <= kMostValidatorUnits &&
           nTotal >= 0 && strTarget.find(L'\0') == std::wstring::npos && strUrl.find(L'\0') == std::wstring::npos &&
           strValidator.find(L'\0') == std::wstring::npos;
}

bool WriteResumeRecord(const std::wstring& path, const ResumeRecord& record) noexcept {
    if (path.empty() || !record.Complete()) {
        return false;
    }
    try {
        std::vector<char> bytes;
        RecordHeader header;
        std::memcpy(header.magic, kRecordMagic, sizeof(header.magic));
        header.nVersion = kRecordVersion;
        const char* head = reinterpret_cast<const char*>(&header);
        bytes.insert(bytes.end(), head, head + sizeof(header));
        PutText(bytes, record.strTarget);
        PutText(bytes, record.strMd5);
        PutText(bytes, record.strUrl);
        PutText(bytes, record.strValidator);
        const char* total = reinterpret_cast<const char*>(&record.nTotal);
        bytes.insert(bytes.end(), total, total + sizeof(record.nTotal));

        const base::unique_file file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        DWORD written = 0;
        return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool ReadResumeRecord(const std::wstring& path, ResumeRecord& record) noexcept {
    try {
        const base::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (!file || !::GetFileSizeEx(file.get(), &size) ||
            size.QuadPart < static_cast<LONGLONG>(sizeof(RecordHeader)) || size.QuadPart > kMostRecordBytes) {
            return false;
        }
        std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
            read != bytes.size()) {
            return false;
        }
        RecordHeader header;
        std::memcpy(&header, bytes.data(), sizeof(header));
        if (std::memcmp(header.magic, kRecordMagic, sizeof(header.magic)) != 0 || header.nVersion != kRecordVersion) {
            return false;
        }
        size_t pos = sizeof(header);
        ResumeRecord read_record;
        if (!TakeText(bytes, pos, kMostTargetUnits, read_record.strTarget) ||
            !TakeText(bytes, pos, kMostMd5Units, read_record.strMd5) ||
            !TakeText(bytes, pos, kMostUrlUnits, read_record.strUrl) ||
            !TakeText(bytes, pos, kMostValidatorUnits, read_record.strValidator) ||
            bytes.size() - pos != sizeof(int64_t)) {
            return false;
        }
        std::memcpy(&read_record.nTotal, bytes.data() + pos, sizeof(int64_t));
        if (!read_record.Complete()) {
            return false;
        }
        record = std::move(read_record);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool RecordMatches(const ResumeRecord& record, const std::wstring& fullTarget, const std::wstring& md5,
                   const std::wstring& url) noexcept {
    return base::CompareFileNames(record.strTarget, fullTarget) == CSTR_EQUAL &&
           _wcsicmp(record.strMd5.c_str(), md5.c_str()) == 0 && record.strUrl == url;
}
