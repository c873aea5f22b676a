#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The instrument's firmware: which files make it, where in the flash each
// goes and in which order they are written. The window and pravel-flash both
// take these from here.
class FirmwareSet
{
public:
    struct Image
    {
        std::string path; // UTF-8
        uint32_t offset = 0;
    };

    static constexpr const char* versionFileName = "version.txt";
    static constexpr const char* bitstreamFileName = "download.bit";
    static constexpr const char* applicationFileName = "pravel.srec";
    static constexpr uint32_t applicationOffset = 0x500000;
    static constexpr uint32_t bitstreamOffset = 0;
    // The USB description of the bridge channel that carries the flash.
    static constexpr const char* portDescription = "USB <-> Serial Converter B";

    // The application image, then the bitstream, in the order they are
    // written; an empty path leaves that image out.
    static FirmwareSet basic(const std::string& application, const std::string& bitstream);
    // The application image and the bitstream of a firmware directory.
    static FirmwareSet inDirectory(const std::string& directory);
    // One file at an offset of the caller's choice.
    static FirmwareSet single(const std::string& path, uint32_t offset);

    // `name` in `directory`, joined with one slash.
    static std::string pathIn(const std::string& directory, const char* name);
    // The first line of the directory's version file, without its line end;
    // false when the file does not open.
    static bool readVersion(const std::string& directory, std::string& version);

    const std::vector<Image>& images() const { return list; }
    // The image at `index` (an outcome's failedImage), or nullptr when none.
    const Image* imageAt(int index) const
    {
        return index >= 0 && static_cast<size_t>(index) < list.size() ? &list[static_cast<size_t>(index)] : nullptr;
    }

private:
    std::vector<Image> list;
};
