#pragma once

#include <memory>
#include <string>

// Keeps a second copy of the loader from running: the first copy holds a
// named lock for its whole life; a later start finds the name taken, brings
// the first copy's window (found by its exact title) forward and ends.
class InstanceGuard
{
public:
    virtual ~InstanceGuard() = default;

    // true: this process now holds the lock and goes on. false: another copy
    // holds it and has been asked to show its window; this one should end.
    virtual bool acquire() = 0;

    // The platform's guard for the lock `name` and the window titled `title`.
    static std::unique_ptr<InstanceGuard> create(const std::string& name, const std::string& title);
};
