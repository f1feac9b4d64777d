#pragma once

#include "ipc/data_types.h"
#include "ipc/paras_helper.h"

#include <memory>

// The download-progress report the client sends to the host: game id, then
// the figure (-1 failure, 0 start, the truncated percentage, 100 done).
// Its class name is its name on the wire. One owner thread at a time.
class IPC_MainProcess_OnDownProcess {
public:
    virtual ~IPC_MainProcess_OnDownProcess() = default;

    static const wchar_t* GetMsgName() { return L"IPC_MainProcess_OnDownProcess"; }
    // A new message owned by the caller: this name, id 0, and the parameters
    // game id then progress.
    std::unique_ptr<CParasHelper> ToParas() const;

    C_int m_gameId;
    C_DWORD m_progress;
};
