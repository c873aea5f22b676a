#include "base/ConsoleSink.h"

#include <iostream>
#include <mutex>
#include <utility>

namespace {

// Recursive: a handler may write a line of its own.
std::recursive_mutex processMutex;
ConsoleSink::Handler processHandler;
thread_local const ConsoleSink::Handler* threadHandler = nullptr;

} // namespace

void ConsoleSink::note(const std::string& text)
{
    write(Note, text);
}

void ConsoleSink::error(const std::string& text)
{
    write(Error, text);
}

void ConsoleSink::write(Stream stream, const std::string& text)
{
    if (threadHandler) {
        (*threadHandler)(stream, text);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(processMutex);
    if (processHandler)
        processHandler(stream, text);
    else
        toStandardStreams(stream, text);
}

void ConsoleSink::toStandardStreams(Stream stream, const std::string& text)
{
    std::ostream& out = stream == Error ? std::cerr : std::cout;
    out << text << std::flush;
}

ConsoleSink::Route::Route(Scope scope, Handler handler) : scope(scope), handler(std::move(handler))
{
    if (scope == ThisThread) {
        previousThreadHandler = threadHandler;
        threadHandler = &this->handler;
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(processMutex);
    previousProcessHandler = std::move(processHandler);
    processHandler = this->handler;
}

ConsoleSink::Route::~Route()
{
    if (scope == ThisThread) {
        threadHandler = previousThreadHandler;
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(processMutex);
    processHandler = std::move(previousProcessHandler);
}
