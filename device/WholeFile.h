#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// A file loaded whole, for the image and bitstream loaders. Only regular
// files open (a FIFO would block, a directory "opens" on some systems), and
// the data lands in the caller's buffer only when every byte was read, so a
// failed load leaves what was loaded before. Never throws.
class WholeFile
{
public:
    enum Status { Ok, OpenFailed, ReadFailed };

    // `name` is UTF-8. ReadFailed when the size cannot be determined.
    Status open(const std::string& name);
    uint64_t size() const { return bytes; }
    // Replaces `data` with the file's contents on success only.
    Status readInto(std::vector<unsigned char>& data);

    // The line that tells the user a load of `name` failed; empty for Ok.
    static std::string failure(Status status, const std::string& name);

private:
    std::ifstream file;
    uint64_t bytes = 0;
};
