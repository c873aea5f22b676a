#include "device/d2xx/Ftd2xxDllDriver.h"

#include "device/d2xx/Ftd2xxDll.h"
#include "base/ConsoleSink.h"

#include <algorithm>
#include <vector>

namespace d2xx {

using namespace ftd2xx;
using DllNode = DeviceListNode;

struct Ftd2xxDllDriver::Library
{
    HMODULE module = nullptr;
    std::string error;
    DWORD listed = 0; // nodes the DLL holds since the last FT_CreateDeviceInfoList

    CreateDeviceInfoListFn createDeviceInfoList = nullptr;
    GetDeviceInfoListFn getDeviceInfoList = nullptr;
    OpenExFn openEx = nullptr;
    ResetDeviceFn resetDevice = nullptr;
    PurgeFn purge = nullptr;
    SetLatencyTimerFn setLatencyTimer = nullptr;
    SetBitModeFn setBitMode = nullptr;
    GetBitModeFn getBitMode = nullptr;
    WriteFn write = nullptr;
    GetStatusFn getStatus = nullptr;
    ReadFn read = nullptr;
    CloseFn close = nullptr;

    template <typename Fn>
    bool bind(Fn& target, const char* name)
    {
        FARPROC proc = GetProcAddress(module, name);
        if (!proc) {
            error = std::string("FTD2XX.dll has no ") + name + ": the D2XX driver is too old or damaged";
            return false;
        }
        // Through void(*)(): the one function pointer type GCC lets us cast from freely.
        target = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
        return true;
    }

    // FTD2XX.dll from beside the program, else from the system folder where
    // FTDI's installer puts it; never from the current folder or PATH, where
    // any folder the user works in could slip in a DLL of the same name.
    static HMODULE loadFromTrustedFolders(DWORD& lastError)
    {
        std::vector<std::wstring> folders;
        std::wstring self(MAX_PATH, L'\0');
        self.resize(GetModuleFileNameW(nullptr, self.data(), DWORD(self.size())));
        const size_t slash = self.find_last_of(L"\\/");
        if (slash != std::wstring::npos)
            folders.push_back(self.substr(0, slash));
        std::wstring system(MAX_PATH, L'\0');
        system.resize(GetSystemDirectoryW(system.data(), UINT(system.size())));
        if (!system.empty())
            folders.push_back(system);
        lastError = ERROR_MOD_NOT_FOUND;
        for (const auto& folder : folders) {
            const std::wstring path = folder + L"\\FTD2XX.dll";
            if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                continue;
            // Its own dependencies are looked up beside it first.
            if (HMODULE found = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
                return found;
            lastError = GetLastError();
        }
        return nullptr;
    }

    bool load()
    {
        DWORD lastError = 0;
        module = loadFromTrustedFolders(lastError);
        if (!module) {
            error = "FTDI's D2XX driver is missing: FTD2XX.dll could not be loaded (Windows error " +
                    std::to_string(lastError) + "); install the driver from FTDI";
            return false;
        }
        const bool all = bind(createDeviceInfoList, "FT_CreateDeviceInfoList") &&
                         bind(getDeviceInfoList, "FT_GetDeviceInfoList") && bind(openEx, "FT_OpenEx") &&
                         bind(resetDevice, "FT_ResetDevice") && bind(purge, "FT_Purge") &&
                         bind(setLatencyTimer, "FT_SetLatencyTimer") && bind(setBitMode, "FT_SetBitMode") &&
                         bind(getBitMode, "FT_GetBitMode") && bind(write, "FT_Write") &&
                         bind(getStatus, "FT_GetStatus") && bind(read, "FT_Read") && bind(close, "FT_Close");
        if (!all) {
            FreeLibrary(module);
            module = nullptr;
        }
        return all;
    }
};

Ftd2xxDllDriver::Ftd2xxDllDriver() : library(std::make_unique<Library>())
{
    if (!library->load())
        ConsoleSink::error(library->error + "\n");
}

Ftd2xxDllDriver::~Ftd2xxDllDriver()
{
    if (library->module)
        FreeLibrary(library->module);
}

bool Ftd2xxDllDriver::loaded() const { return library->module != nullptr; }

const std::string& Ftd2xxDllDriver::loadError() const { return library->error; }

FT_STATUS Ftd2xxDllDriver::FT_CreateDeviceInfoList(uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = 0;
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    DWORD n = 0;
    const FT_STATUS status = library->createDeviceInfoList(&n);
    library->listed = status == FT_OK ? n : 0;
    *count = library->listed;
    return status;
}

FT_STATUS Ftd2xxDllDriver::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    const uint32_t capacity = *count;
    *count = 0;
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    // The DLL fills as many nodes as its last list holds, whatever the
    // caller's array: give it room for all of them, copy what fits.
    std::vector<DllNode> nodes(std::max<DWORD>(library->listed, capacity) + 1);
    DWORD n = 0;
    const FT_STATUS status = library->getDeviceInfoList(nodes.data(), &n);
    if (status != FT_OK)
        return status;
    n = std::min<DWORD>(n, static_cast<DWORD>(nodes.size()));
    const uint32_t copied = std::min<uint32_t>(n, capacity);
    if (copied && !list)
        return FT_INVALID_PARAMETER;
    for (uint32_t i = 0; i < copied; ++i) {
        list[i].Flags = nodes[i].Flags;
        list[i].Type = nodes[i].Type;
        list[i].ID = nodes[i].ID;
        list[i].LocId = nodes[i].LocId;
        std::copy(std::begin(nodes[i].SerialNumber), std::end(nodes[i].SerialNumber), list[i].SerialNumber);
        std::copy(std::begin(nodes[i].Description), std::end(nodes[i].Description), list[i].Description);
        list[i].SerialNumber[sizeof list[i].SerialNumber - 1] = '\0';
        list[i].Description[sizeof list[i].Description - 1] = '\0';
        list[i].ftHandle = nodes[i].ftHandle;
    }
    *count = copied;
    return FT_OK;
}

FT_STATUS Ftd2xxDllDriver::FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    if (!handle)
        return FT_INVALID_PARAMETER;
    return library->openEx(const_cast<void*>(arg), flags, handle);
}

FT_STATUS Ftd2xxDllDriver::FT_ResetDevice(FT_HANDLE handle)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    return library->resetDevice(handle);
}

FT_STATUS Ftd2xxDllDriver::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    return library->purge(handle, mask);
}

FT_STATUS Ftd2xxDllDriver::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    return library->setLatencyTimer(handle, milliseconds);
}

FT_STATUS Ftd2xxDllDriver::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    return library->setBitMode(handle, mask, mode);
}

FT_STATUS Ftd2xxDllDriver::FT_GetBitMode(FT_HANDLE handle, uint8_t* pins)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    return library->getBitMode(handle, pins);
}

FT_STATUS Ftd2xxDllDriver::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    DWORD n = 0;
    const FT_STATUS status = library->write(handle, const_cast<void*>(buffer), count, &n);
    if (written)
        *written = n;
    return status;
}

FT_STATUS Ftd2xxDllDriver::FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    DWORD rx = 0, tx = 0, events = 0;
    const FT_STATUS status = library->getStatus(handle, &rx, &tx, &events);
    if (rxBytes)
        *rxBytes = rx;
    if (txBytes)
        *txBytes = tx;
    if (eventStatus)
        *eventStatus = events;
    return status;
}

FT_STATUS Ftd2xxDllDriver::FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    DWORD n = 0;
    const FT_STATUS status = library->read(handle, buffer, count, &n);
    if (returned)
        *returned = n;
    return status;
}

FT_STATUS Ftd2xxDllDriver::FT_Close(FT_HANDLE handle)
{
    if (!loaded())
        return FT_DEVICE_NOT_FOUND;
    return library->close(handle);
}

} // namespace d2xx
