#include "base/ConsoleSink.h"

#include <iostream>
#include <mutex>
#include <utility>

namespace {

// Recursive: a route may write a line of its own.
std::recursive_mutex processMutex;
ConsoleSink::Route processRoute;
thread_local const ConsoleSink::Route* threadRoute = nullptr;

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
    if (threadRoute) {
        (*threadRoute)(stream, text);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(processMutex);
    if (processRoute)
        processRoute(stream, text);
    else
        toStandardStreams(stream, text);
}

void ConsoleSink::toStandardStreams(Stream stream, const std::string& text)
{
    std::ostream& out = stream == Error ? std::cerr : std::cout;
    out << text << std::flush;
}

ConsoleSink::ProcessRoute::ProcessRoute(Route route)
{
    std::lock_guard<std::recursive_mutex> lock(processMutex);
    previous = std::move(processRoute);
    processRoute = std::move(route);
}

ConsoleSink::ProcessRoute::~ProcessRoute()
{
    std::lock_guard<std::recursive_mutex> lock(processMutex);
    processRoute = std::move(previous);
}

ConsoleSink::ThreadRoute::ThreadRoute(Route route) : route(std::move(route)), previous(threadRoute)
{
    threadRoute = &this->route;
}

ConsoleSink::ThreadRoute::~ThreadRoute()
{
    threadRoute = previous;
}
