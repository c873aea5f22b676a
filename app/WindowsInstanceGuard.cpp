#include "app/WindowsInstanceGuard.h"

#include <windows.h>

#include <utility>

WindowsInstanceGuard::WindowsInstanceGuard(std::string name, std::string title)
    : name(std::move(name)), title(std::move(title))
{
}

WindowsInstanceGuard::~WindowsInstanceGuard()
{
    if (!mutex)
        return;
    if (owner)
        ReleaseMutex(static_cast<HANDLE>(mutex));
    CloseHandle(static_cast<HANDLE>(mutex));
}

bool WindowsInstanceGuard::acquire()
{
    SetLastError(ERROR_SUCCESS);
    HANDLE handle = CreateMutexA(nullptr, TRUE, name.c_str());
    const DWORD error = GetLastError();
    mutex = handle;
    bool taken = error == ERROR_ALREADY_EXISTS;
    if (taken && handle) {
        // The name alone outlives a copy that was killed while anyone still
        // holds a handle: only a mutex that is still owned means a copy runs.
        const DWORD state = WaitForSingleObject(handle, 0);
        taken = state != WAIT_OBJECT_0 && state != WAIT_ABANDONED;
    }
    // A mutex made by another user's copy may not even be opened.
    taken = taken || (!handle && error == ERROR_ACCESS_DENIED);
    if (taken) {
        if (HWND window = FindWindowA(nullptr, title.c_str()))
            SetForegroundWindow(window);
        return false;
    }
    owner = handle != nullptr;
    return true;
}
