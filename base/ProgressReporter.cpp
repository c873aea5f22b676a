#include "base/ProgressReporter.h"

ProgressReporter& ProgressReporter::getInstance()
{
    static ProgressReporter self;
    return self;
}

void ProgressReporter::setReportCallback(const Callback& callback)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    this->callback = callback;
}

void ProgressReporter::reportMessage(MessageType type, const std::string& message)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (callback)
        callback(type, message);
}

void ProgressReporter::info(const std::string& message)
{
    getInstance().reportMessage(Info, message);
}

void ProgressReporter::error(const std::string& message)
{
    getInstance().reportMessage(Error, message);
}
