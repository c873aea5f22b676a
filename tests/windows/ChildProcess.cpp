#include "tests/windows/ChildProcess.h"

#include <windows.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The text as the child wrote it, line ends as "\n".
std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text, raw(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
    for (size_t i = 0; i < raw.size(); ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n'))
            text.push_back(raw[i]);
    return text;
}

HANDLE inheritable(const fs::path& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The parent's environment, PRAVEL_* removed, `env` added, as a Unicode block.
std::wstring environmentBlock(const std::map<std::string, std::string>& env)
{
    std::wstring block;
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* entry = inherited; entry && *entry; entry += wcslen(entry) + 1)
        if (wcsncmp(entry, L"PRAVEL_", 7) != 0)
            block.append(entry).push_back(L'\0');
    FreeEnvironmentStringsW(inherited);
    for (const auto& [name, value] : env)
        block.append(ChildProcess::wide(name + "=" + value)).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

} // namespace

std::wstring ChildProcess::wide(const std::string& utf8)
{
    if (utf8.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), size);
    return out;
}

std::wstring ChildProcess::quote(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    // Backslashes are literal except before a quote, where they double.
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

ChildProcess::ChildProcess(const fs::path& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env, const fs::path& capture,
                           const fs::path& workingDir)
    : outPath(capture.wstring() + L".out"), errPath(capture.wstring() + L".err")
{
    std::wstring commandLine = quote(program.wstring());
    for (const auto& arg : args)
        commandLine += L" " + quote(wide(arg));
    std::wstring environment = environmentBlock(env);

    HANDLE in = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = inheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &info)) {
        CloseHandle(info.hThread);
        process = info.hProcess;
    }
    for (HANDLE handle : {in, out, err})
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
}

ChildProcess::~ChildProcess()
{
    kill();
}

void ChildProcess::kill()
{
    if (!process)
        return;
    TerminateProcess(process, 137);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    process = nullptr;
}

bool ChildProcess::waitForOutput(const std::string& needle)
{
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (output().find(needle) != std::string::npos)
            return true;
    return false;
}

std::string ChildProcess::output() const
{
    return slurp(outPath);
}

ChildProcess::Outcome ChildProcess::finish()
{
    Outcome outcome;
    if (!process)
        return outcome;
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    process = nullptr;
    outcome.status = code;
    outcome.out = slurp(outPath);
    outcome.err = slurp(errPath);
    return outcome;
}
