#pragma once

#include "app/InstanceGuard.h"

#include <string>

// A named mutex, owned by the first copy's main thread for its whole life; a
// later start that finds it held raises the window by its title. Plain Win32,
// no Qt.
class WindowsInstanceGuard final : public InstanceGuard
{
public:
    WindowsInstanceGuard(std::string name, std::string title);
    ~WindowsInstanceGuard() override;

    bool acquire() override;

private:
    std::string name;
    std::string title;
    void* mutex = nullptr; // HANDLE, kept open while this copy runs
    bool owner = false;
};
