#pragma once

// What the fuzz targets share: the emulated instrument and a scratch
// directory of the process's own.

#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace fuzz {

// One instrument for the whole run: building one (16 MiB of flash) for each
// input would cost more than the input itself.
inline std::shared_ptr<d2xx::EmulatedDriver> instrument()
{
    static const std::shared_ptr<d2xx::EmulatedDriver> shared = [] {
        std::string error;
        auto driver = d2xx::EmulatedDriver::create(emu::BenchConfig(), error);
        if (!driver)
            std::abort();
        // The trace would keep every call of the whole run.
        driver->trace().setEnabled(false);
        return driver;
    }();
    return shared;
}

inline const std::filesystem::path& scratch()
{
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() / ("pravel-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

inline void writeFile(const std::filesystem::path& path, const uint8_t* data, size_t size)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

} // namespace fuzz
