#include "app/InstanceGuard.h"

#ifdef _WIN32
#include "app/WindowsInstanceGuard.h"
#else
#include "app/LocalInstanceGuard.h"

#include <QString>
#endif

std::unique_ptr<InstanceGuard> InstanceGuard::create(const std::string& name, const std::string& title)
{
#ifdef _WIN32
    return std::make_unique<WindowsInstanceGuard>(name, title);
#else
    return std::make_unique<LocalInstanceGuard>(QString::fromStdString(name), QString::fromStdString(title),
                                                LocalInstanceGuard::defaultDirectory());
#endif
}
