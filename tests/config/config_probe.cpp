// Runs the configuration readers from wherever a test has copied this
// program, since they read LumoConfig.xml and FileList.xml beside the
// executable, and writes what they produced to a UTF-8 file, one record a
// line, fields separated by tabs.
// usage: config_probe OUTFILE folder
//        config_probe OUTFILE filelist TARGETFOLDER CALLS
//        config_probe OUTFILE config
//        config_probe OUTFILE savekeys
#include "config/client_config.h"
#include "config/file_list.h"
#include "config/settings_table.h"
#include "utf8.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

namespace {

void WriteRecord(std::string& out, const std::vector<std::wstring>& fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out += '\t';
        }
        out += ToUtf8(fields[i]);
    }
    out += '\n';
}

void WriteItems(std::string& out, const wchar_t* list, const std::vector<FileListItem>& items) {
    for (const FileListItem& item : items) {
        WriteRecord(out, {list, item.FilePath, item.url, item.md5, item.opt, item.CMD});
    }
}

void WriteSettings(std::string& out) {
    WriteRecord(out, {L"downurl", g_settingsTable.GetDownUrl()});
    WriteRecord(out, {L"channelid", g_settingsTable.GetChannelId()});
    WriteRecord(out, {L"gKey", g_settingsTable.GetGKey()});
    WriteRecord(out, {L"pKey", g_settingsTable.GetPKey()});
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::wstring command = argv[2];
    std::string out;
    if (command == L"folder") {
        WriteRecord(out, {L"folder", GetModuleFolder()});
    } else if (command == L"filelist" && argc == 5) {
        const int calls = _wtoi(argv[4]);
        for (int i = 0; i < calls; ++i) {
            WriteRecord(out, {L"loaded", LoadFileList(argv[3]) ? L"1" : L"0"});
        }
        WriteItems(out, L"download", GetDownloadList());
        WriteItems(out, L"run", GetRunList());
        WriteItems(out, L"delay", GetDelayList());
    } else if (command == L"config") {
        LoadClientConfig();
        WriteSettings(out);
    } else if (command == L"savekeys") {
        LoadClientConfig();
        SaveGameCenterKeys();
        WriteSettings(out);
    } else {
        return 2;
    }

    FILE* file = _wfopen(argv[1], L"wb");
    if (file == nullptr) {
        return 3;
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && written ? 0 : 3;
}
