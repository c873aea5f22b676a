#pragma once

// Byte patterns and files the suites' images are made of.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

// A directory of the test's own under the system's temporary one (suites of
// other build trees may run at the same time), removed with the object. Its
// name is always as long (PREFIX-xxxxxx, as mkdtemp makes them): the
// openFPGALoader test needs paths of a fixed length.
class ScratchDir
{
public:
    explicit ScratchDir(const std::string& prefix)
    {
        static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::random_device random;
        do {
            std::string name = prefix + "-";
            for (int i = 0; i < 6; ++i)
                name += kDigits[random() % (sizeof kDigits - 1)];
            where = std::filesystem::temp_directory_path() / name;
        } while (!std::filesystem::create_directory(where));
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(where, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return where; }

private:
    std::filesystem::path where;
};

// Pseudo-random bytes (a linear congruential generator's top bits).
inline Bytes randomBytes(size_t size, uint32_t seed)
{
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes)
        b = static_cast<unsigned char>((state = state * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// Returns the path as UTF-8.
inline std::string writeFile(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.u8string();
}

inline Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

} // namespace testsupport
