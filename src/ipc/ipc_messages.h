#pragma once

#include "ipc/data_types.h"

#include <memory>

class CParasHelper;

// The download-progress report the client sends to the host: game id, then
// the figure (-1 failure, 0 start, the truncated percentage, 100 done).
class IPC_MainProcess_OnDownProcess {
public:
    virtual ~IPC_MainProcess_OnDownProcess() = default;

    static const wchar_t* GetMsgName() { return L"IPC_MainProcess_OnDownProcess"; }
    // A new message (name, id 0, parameters game id then progress).
    std::unique_ptr<CParasHelper> ToParas() const;

    C_int m_gameId;
    C_DWORD m_progress;
};
