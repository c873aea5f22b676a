#include "device/FirmwareSet.h"

#include <filesystem>
#include <fstream>

FirmwareSet FirmwareSet::basic(const std::string& application, const std::string& bitstream)
{
    FirmwareSet set;
    if (!application.empty())
        set.list.push_back({application, applicationOffset});
    if (!bitstream.empty())
        set.list.push_back({bitstream, bitstreamOffset});
    return set;
}

FirmwareSet FirmwareSet::inDirectory(const std::string& directory)
{
    return basic(pathIn(directory, applicationFileName), pathIn(directory, bitstreamFileName));
}

FirmwareSet FirmwareSet::single(const std::string& path, uint32_t offset)
{
    FirmwareSet set;
    set.list.push_back({path, offset});
    return set;
}

std::string FirmwareSet::pathIn(const std::string& directory, const char* name)
{
    return directory + "/" + name;
}

bool FirmwareSet::readVersion(const std::string& directory, std::string& version)
{
    version.clear();
    std::ifstream file;
    try {
        file.open(std::filesystem::u8path(pathIn(directory, versionFileName)));
    } catch (...) {
        return false;
    }
    if (!file.is_open())
        return false;
    std::getline(file, version);
    // An editor's byte-order mark is no part of the version.
    if (version.compare(0, 3, "\xEF\xBB\xBF") == 0)
        version.erase(0, 3);
    if (!version.empty() && version.back() == '\r')
        version.pop_back();
    return true;
}
