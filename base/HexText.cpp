#include "base/HexText.h"

#include <ios>
#include <sstream>

std::string hexText(uint64_t value)
{
    std::ostringstream s;
    s.setf(std::ios::showbase);
    s << std::hex << value;
    return s.str();
}
