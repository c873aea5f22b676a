#pragma once

#include <cstdint>
#include <string>

// A number as every report writes it in hexadecimal: lower-case digits after
// "0x", and zero as a lone "0" (a stream with the base shown does the same).
std::string hexText(uint64_t value);

// Upper-case digits without "0x", zero-padded to at least `digits`: an
// IDCODE, a CRC or a JEDEC ID as datasheets print it ("0362D093").
std::string upperHex(uint64_t value, int digits);
