// pravel-flash's arguments: NUL-separated words of the input. Parsed or
// refused with a message; numbers in range or refused.

#include "cli/CommandLine.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() <= 64; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    Invocation invocation;
    std::string error;
    if (!CommandLine::parse(args, invocation, error) && error.empty())
        std::abort();
    (void)CommandLine::commandHelp(invocation.command);

    for (const std::string& word : args) {
        uint64_t value = 0;
        for (uint64_t max : {uint64_t(0xFFFF), uint64_t(0xFFFFFFFF), UINT64_MAX})
            if (CommandLine::parseNumber(word, max, value) && value > max)
                std::abort();
    }
    return 0;
}
