#include "base/HexText.h"

#include <cstdio>
#include <ios>
#include <sstream>

std::string hexText(uint64_t value)
{
    std::ostringstream s;
    s.setf(std::ios::showbase);
    s << std::hex << value;
    return s.str();
}

std::string upperHex(uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}
