#include "ipc/ipc_messages.h"

#include "ipc/paras_helper.h"

std::unique_ptr<CParasHelper> IPC_MainProcess_OnDownProcess::ToParas() const {
    const std::wstring gameId = m_gameId.ToString();
    const std::wstring progress = m_progress.ToString();
    return std::make_unique<CParasHelper>(GetMsgName(), 0, gameId.c_str(), progress.c_str(), PARAS_END);
}
