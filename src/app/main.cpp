#include "app/run_process.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPWSTR lpCmdLine, int nShowCmd) {
    CRunProcess app;
    return app.Execute(hInstance, lpCmdLine != nullptr ? lpCmdLine : L"", nShowCmd);
}
