// Any file checked for what belongs at the bitstream's and the application's
// offsets (the .bit header, the sync word, S-record text): an answer for
// each, never a crash.

#include "device/ImageCheck.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<unsigned char> bytes(data, data + size);
    for (uint32_t offset : {ImageCheck::bitstreamOffset, ImageCheck::applicationOffset, uint32_t(0x10000)})
        (void)ImageCheck::check(bytes, offset);
    (void)ImageCheck::checkBitstream(bytes);
    (void)ImageCheck::checkSRecords(bytes);
    return 0;
}
