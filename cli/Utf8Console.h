#pragma once

#include <string>
#include <vector>

// Text in and out of the tool is UTF-8 everywhere. On Windows that takes
// work: the C runtime's argv is in the ANSI code page, which cannot hold
// every file name, and a console shows bytes in its own code page. While an
// object lives the console shows UTF-8; the arguments come from the UTF-16
// command line. Elsewhere both are left as they are.
class Utf8Console
{
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

    // The arguments after the program name, as UTF-8.
    static std::vector<std::string> arguments(int argc, char** argv);

private:
#ifdef _WIN32
    unsigned previousOutputCodePage = 0; // 0: left alone
#endif
};
