#include "emulator/CallTrace.h"

namespace emu {

void CallTrace::recordCall(D2xxCall call)
{
    if (!recording)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    callList.push_back(std::move(call));
}

void CallTrace::recordSpi(SpiTransaction transaction)
{
    if (!recording)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    spiList.push_back(transaction);
}

std::vector<D2xxCall> CallTrace::calls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return callList;
}

std::vector<D2xxCall> CallTrace::calls(const std::string& function) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<D2xxCall> matching;
    for (const D2xxCall& call : callList)
        if (call.function == function)
            matching.push_back(call);
    return matching;
}

std::vector<SpiTransaction> CallTrace::spi() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return spiList;
}

void CallTrace::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    callList.clear();
    spiList.clear();
}

} // namespace emu
