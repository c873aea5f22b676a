#pragma once

// The FPGA vendor's own 7-series bitstreams, as Debian's openfpgaloader
// package ships them (gzip-compressed): real data that nobody here wrote.

#include "tests/support/Files.h"

#include <zlib.h>

#include <string>

namespace testsupport {

inline const std::string vendorBitstreamDir = "/usr/share/openFPGALoader/";

// The .bit file for `part` ("7a35tcsg324"); empty without the package.
inline Bytes vendorBitstream(const std::string& part)
{
    Bytes bytes;
    gzFile file = gzopen((vendorBitstreamDir + "spiOverJtag_xc" + part + ".bit.gz").c_str(), "rb");
    if (!file)
        return bytes;
    unsigned char chunk[1 << 16];
    for (int got; (got = gzread(file, chunk, sizeof chunk)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + got);
    gzclose(file);
    return bytes;
}

} // namespace testsupport
