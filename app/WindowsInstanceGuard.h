#pragma once

#include "app/InstanceGuard.h"

#include <string>

// A named mutex, which Windows releases when the process ends however it
// ends; a later start that finds it taken raises the window by its title.
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
