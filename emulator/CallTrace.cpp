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

void CallTrace::recordFpga(std::string event)
{
    if (!recording)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    fpgaList.push_back(std::move(event));
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

std::vector<std::string> CallTrace::fpga() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return fpgaList;
}

void CallTrace::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    callList.clear();
    spiList.clear();
    fpgaList.clear();
}

} // namespace emu
