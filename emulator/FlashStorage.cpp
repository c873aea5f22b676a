#include "emulator/FlashStorage.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace emu {

namespace fs = std::filesystem;

namespace {

// Paths arrive as UTF-8; u8path keeps them intact on Windows too.
fs::path toPath(const std::string& utf8)
{
    return fs::u8path(utf8);
}

bool createErased(const fs::path& path, uint32_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    const std::vector<char> chunk(1 << 20, static_cast<char>(0xFF));
    for (uint32_t written = 0; written < size;) {
        const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(chunk.size()), size - written);
        out.write(chunk.data(), n);
        written += n;
    }
    out.flush();
    return static_cast<bool>(out);
}

// Reads the register file beside the image: two bytes, low byte first.
// Missing: the factory value. Any other size is refused.
bool loadNvcr(const fs::path& path, uint16_t& value, std::string& error)
{
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        value = FlashStorage::factoryNvcr;
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    char raw[3] = {};
    in.read(raw, 3);
    if (in.gcount() != 2) {
        error = "Configuration register file " + path.u8string() + " must hold 2 bytes";
        return false;
    }
    value = static_cast<uint16_t>(static_cast<uint8_t>(raw[0]) | (static_cast<uint8_t>(raw[1]) << 8));
    return true;
}

} // namespace

std::unique_ptr<FlashStorage> FlashStorage::open(const std::string& path, uint32_t size, std::string& error)
{
    std::unique_ptr<FlashStorage> storage(new FlashStorage());
    if (path.empty()) {
        storage->bytes.assign(size, 0xFF);
        return storage;
    }

    const fs::path image = toPath(path);
    std::error_code ec;
    if (fs::exists(image, ec)) {
        if (!fs::is_regular_file(image, ec)) {
            error = "Flash image " + path + " is not a regular file";
            return nullptr;
        }
        const uintmax_t found = fs::file_size(image, ec);
        if (ec) {
            error = "Flash image " + path + " cannot be read: " + ec.message();
            return nullptr;
        }
        if (found != size) {
            error = "Flash image " + path + " has " + std::to_string(found) + " bytes, expected " +
                    std::to_string(size) + " bytes";
            return nullptr;
        }
    } else if (!createErased(image, size)) {
        error = "Flash image " + path + " cannot be created";
        return nullptr;
    }

    uint16_t nvcr = factoryNvcr;
    if (!loadNvcr(toPath(path + ".nvcr"), nvcr, error))
        return nullptr;

    storage->file.open(image, std::ios::in | std::ios::out | std::ios::binary);
    if (!storage->file) {
        error = "Flash image " + path + " cannot be opened for reading and writing";
        return nullptr;
    }
    storage->bytes.resize(size);
    storage->file.read(reinterpret_cast<char*>(storage->bytes.data()), size);
    if (storage->file.gcount() != static_cast<std::streamsize>(size)) {
        error = "Flash image " + path + " could not be read whole";
        return nullptr;
    }
    storage->imagePath = path;
    storage->nvcrValue = nvcr;
    return storage;
}

void FlashStorage::program(uint32_t address, const uint8_t* data, uint32_t length)
{
    length = std::min(length, size() - std::min(address, size()));
    for (uint32_t i = 0; i < length; ++i)
        bytes[address + i] &= data[i];
    writeThrough(address, length);
}

void FlashStorage::erase(uint32_t address, uint32_t length)
{
    length = std::min(length, size() - std::min(address, size()));
    std::fill_n(bytes.begin() + address, length, 0xFF);
    writeThrough(address, length);
}

void FlashStorage::setNvcr(uint16_t value)
{
    nvcrValue = value;
    if (imagePath.empty())
        return;
    std::ofstream out(toPath(imagePath + ".nvcr"), std::ios::binary | std::ios::trunc);
    const char raw[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    out.write(raw, 2);
    out.flush();
    if (!out)
        fileHealthy = false;
}

void FlashStorage::writeThrough(uint32_t address, uint32_t length)
{
    if (imagePath.empty() || length == 0)
        return;
    file.clear();
    file.seekp(address);
    file.write(reinterpret_cast<const char*>(bytes.data() + address), length);
    // Flushed so another instrument over the same file sees the change.
    file.flush();
    if (!file)
        fileHealthy = false;
}

} // namespace emu
