#include "cli/Utf8Console.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

#ifdef _WIN32
namespace {

std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back(); // the terminating NUL
    return out;
}

} // namespace
#endif

Utf8Console::Utf8Console()
{
#ifdef _WIN32
    // No console (output redirected, or none attached): nothing to change.
    const UINT current = GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        previousOutputCodePage = current;
#endif
}

Utf8Console::~Utf8Console()
{
#ifdef _WIN32
    // The console is shared with the shell that started the tool.
    if (previousOutputCodePage != 0)
        SetConsoleOutputCP(previousOutputCodePage);
#endif
}

std::vector<std::string> Utf8Console::arguments(int argc, char** argv)
{
#ifdef _WIN32
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> args;
        for (int i = 1; i < count; ++i)
            args.push_back(utf8(wide[i]));
        LocalFree(wide);
        return args;
    }
#endif
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
