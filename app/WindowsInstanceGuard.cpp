#include "app/WindowsInstanceGuard.h"

#include <windows.h>

#include <utility>

WindowsInstanceGuard::WindowsInstanceGuard(std::string name, std::string title)
    : name(std::move(name)), title(std::move(title))
{
}

WindowsInstanceGuard::~WindowsInstanceGuard()
{
    // The losing copy leaves its handle to the system, which drops it at exit.
    if (owner && mutex)
        CloseHandle(static_cast<HANDLE>(mutex));
}

bool WindowsInstanceGuard::acquire()
{
    mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (HWND window = FindWindowA(nullptr, title.c_str()))
            SetForegroundWindow(window);
        return false;
    }
    owner = true;
    return true;
}
