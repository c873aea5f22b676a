#include "device/WholeFile.h"

#include <filesystem>
#include <system_error>

WholeFile::Status WholeFile::open(const std::string& name)
{
    try {
        const std::filesystem::path path = std::filesystem::u8path(name);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec))
            return OpenFailed;
        file.open(path, std::ios::binary);
        if (!file.is_open())
            return OpenFailed;
    } catch (...) {
        // A name the file system cannot take.
        return OpenFailed;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    file.seekg(0, std::ios::beg);
    if (end < 0 || !file)
        return ReadFailed;
    bytes = static_cast<uint64_t>(end);
    return Ok;
}

std::string WholeFile::failure(Status status, const std::string& name)
{
    switch (status) {
    case Ok:
        return {};
    case OpenFailed:
        return "Error opening file for reading: " + name + "\n";
    case ReadFailed:
        break;
    }
    return "Error reading file!\n";
}

WholeFile::Status WholeFile::readInto(std::vector<unsigned char>& data)
{
    try {
        std::vector<unsigned char> fresh(static_cast<size_t>(bytes));
        if (bytes > 0) {
            file.read(reinterpret_cast<char*>(fresh.data()), static_cast<std::streamsize>(bytes));
            if (static_cast<uint64_t>(file.gcount()) != bytes)
                return ReadFailed;
        }
        data.swap(fresh);
        return Ok;
    } catch (...) {
        // No memory for the whole file.
        return ReadFailed;
    }
}
