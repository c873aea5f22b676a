#include "base/ProgressReporter.h"

#include <utility>

namespace {

thread_local const ProgressReporter::Callback* threadCallback = nullptr;

} // namespace

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
    if (threadCallback && *threadCallback) {
        (*threadCallback)(type, message);
        return;
    }
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

ProgressReporter::ThreadRoute::ThreadRoute(Callback callback) : callback(std::move(callback)), previous(threadCallback)
{
    threadCallback = &this->callback;
}

ProgressReporter::ThreadRoute::~ThreadRoute()
{
    threadCallback = previous;
}
