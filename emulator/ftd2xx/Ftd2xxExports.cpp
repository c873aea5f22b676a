// The D2XX functions the loader calls, exported as FTDI's FTD2XX.dll exports
// them: C names, WINAPI, the types and the device-list node of FTDI's D2XX
// programmer's guide.
#include "device/d2xx/Ftd2xxDll.h"
#include "emulator/config/BenchConfig.h"
#include "emulator/ftd2xx/StandInBridge.h"

#include <memory>
#include <type_traits>
#include <vector>

namespace {

using FT_STATUS = ULONG;
using FT_HANDLE = PVOID;
using FT_DEVICE_LIST_INFO_NODE = ftd2xx::DeviceListNode;

constexpr FT_STATUS kOtherError = d2xx::FT_OTHER_ERROR;

// One call on the bridge, or FT_OTHER_ERROR when there is none to call.
template <typename Call>
FT_STATUS onBridge(Call call)
{
    std::shared_ptr<d2xx::D2xxDriver> driver = StandInBridge::instance().driver();
    return driver ? call(*driver) : kOtherError;
}

} // namespace

extern "C" {

__declspec(dllexport) FT_STATUS WINAPI FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs)
{
    return onBridge([&](d2xx::D2xxDriver& d) {
        uint32_t count = 0;
        const FT_STATUS status = d.FT_CreateDeviceInfoList(lpdwNumDevs ? &count : nullptr);
        if (lpdwNumDevs)
            *lpdwNumDevs = count;
        return status;
    });
}

__declspec(dllexport) FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* pDest, LPDWORD lpdwNumDevs)
{
    return onBridge([&](d2xx::D2xxDriver& d) -> FT_STATUS {
        if (!pDest || !lpdwNumDevs)
            return d2xx::FT_INVALID_PARAMETER;
        // As FTDI's DLL does, every node of the last list is written: the
        // caller sized its array by FT_CreateDeviceInfoList.
        // Room for every channel of the largest bench: two per instrument.
        std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodes(2 * emu::BenchConfig::maxInstruments);
        uint32_t count = static_cast<uint32_t>(nodes.size());
        const FT_STATUS status = d.FT_GetDeviceInfoList(nodes.data(), &count);
        if (status != d2xx::FT_OK)
            return status;
        for (uint32_t i = 0; i < count && i < nodes.size(); ++i) {
            FT_DEVICE_LIST_INFO_NODE& out = pDest[i];
            out.Flags = nodes[i].Flags;
            out.Type = nodes[i].Type;
            out.ID = nodes[i].ID;
            out.LocId = nodes[i].LocId;
            static_assert(sizeof out.SerialNumber == sizeof nodes[i].SerialNumber, "");
            static_assert(sizeof out.Description == sizeof nodes[i].Description, "");
            CopyMemory(out.SerialNumber, nodes[i].SerialNumber, sizeof out.SerialNumber);
            CopyMemory(out.Description, nodes[i].Description, sizeof out.Description);
            out.ftHandle = nodes[i].ftHandle;
        }
        *lpdwNumDevs = count;
        return d2xx::FT_OK;
    });
}

__declspec(dllexport) FT_STATUS WINAPI FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle)
{
    return onBridge([&](d2xx::D2xxDriver& d) {
        const FT_STATUS status = d.FT_OpenEx(pArg1, Flags, pHandle);
        if (status == d2xx::FT_OK)
            StandInBridge::instance().opened(*pHandle);
        return status;
    });
}

__declspec(dllexport) FT_STATUS WINAPI FT_ResetDevice(FT_HANDLE ftHandle)
{
    return onBridge([&](d2xx::D2xxDriver& d) { return d.FT_ResetDevice(ftHandle); });
}

__declspec(dllexport) FT_STATUS WINAPI FT_Purge(FT_HANDLE ftHandle, ULONG Mask)
{
    return onBridge([&](d2xx::D2xxDriver& d) { return d.FT_Purge(ftHandle, Mask); });
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency)
{
    return onBridge([&](d2xx::D2xxDriver& d) { return d.FT_SetLatencyTimer(ftHandle, ucLatency); });
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
{
    return onBridge([&](d2xx::D2xxDriver& d) { return d.FT_SetBitMode(ftHandle, ucMask, ucEnable); });
}

__declspec(dllexport) FT_STATUS WINAPI FT_GetBitMode(FT_HANDLE ftHandle, PUCHAR pucMode)
{
    return onBridge([&](d2xx::D2xxDriver& d) { return d.FT_GetBitMode(ftHandle, pucMode); });
}

__declspec(dllexport) FT_STATUS WINAPI FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                                                 LPDWORD lpdwBytesWritten)
{
    return onBridge([&](d2xx::D2xxDriver& d) {
        uint32_t written = 0;
        const FT_STATUS status = d.FT_Write(ftHandle, lpBuffer, dwBytesToWrite, lpdwBytesWritten ? &written : nullptr);
        if (lpdwBytesWritten)
            *lpdwBytesWritten = written;
        return status;
    });
}

__declspec(dllexport) FT_STATUS WINAPI FT_GetStatus(FT_HANDLE ftHandle, LPDWORD lpdwAmountInRxQueue,
                                                     LPDWORD lpdwAmountInTxQueue, LPDWORD lpdwEventStatus)
{
    return onBridge([&](d2xx::D2xxDriver& d) {
        uint32_t rx = 0, tx = 0, events = 0;
        const FT_STATUS status = d.FT_GetStatus(ftHandle, lpdwAmountInRxQueue ? &rx : nullptr,
                                                lpdwAmountInTxQueue ? &tx : nullptr, lpdwEventStatus ? &events : nullptr);
        if (lpdwAmountInRxQueue)
            *lpdwAmountInRxQueue = rx;
        if (lpdwAmountInTxQueue)
            *lpdwAmountInTxQueue = tx;
        if (lpdwEventStatus)
            *lpdwEventStatus = events;
        return status;
    });
}

__declspec(dllexport) FT_STATUS WINAPI FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                                                LPDWORD lpdwBytesReturned)
{
    return onBridge([&](d2xx::D2xxDriver& d) {
        uint32_t returned = 0;
        const FT_STATUS status = d.FT_Read(ftHandle, lpBuffer, dwBytesToRead, lpdwBytesReturned ? &returned : nullptr);
        if (lpdwBytesReturned)
            *lpdwBytesReturned = returned;
        return status;
    });
}

__declspec(dllexport) FT_STATUS WINAPI FT_Close(FT_HANDLE ftHandle)
{
    return onBridge([&](d2xx::D2xxDriver& d) {
        StandInBridge::instance().closed(ftHandle);
        return d.FT_Close(ftHandle);
    });
}

} // extern "C"

// Each export has the very type the loader binds it as.
static_assert(std::is_same_v<decltype(&FT_CreateDeviceInfoList), ftd2xx::CreateDeviceInfoListFn> &&
              std::is_same_v<decltype(&FT_GetDeviceInfoList), ftd2xx::GetDeviceInfoListFn> &&
              std::is_same_v<decltype(&FT_OpenEx), ftd2xx::OpenExFn> &&
              std::is_same_v<decltype(&FT_ResetDevice), ftd2xx::ResetDeviceFn> &&
              std::is_same_v<decltype(&FT_Purge), ftd2xx::PurgeFn> &&
              std::is_same_v<decltype(&FT_SetLatencyTimer), ftd2xx::SetLatencyTimerFn> &&
              std::is_same_v<decltype(&FT_SetBitMode), ftd2xx::SetBitModeFn> &&
              std::is_same_v<decltype(&FT_GetBitMode), ftd2xx::GetBitModeFn> &&
              std::is_same_v<decltype(&FT_Write), ftd2xx::WriteFn> &&
              std::is_same_v<decltype(&FT_GetStatus), ftd2xx::GetStatusFn> &&
              std::is_same_v<decltype(&FT_Read), ftd2xx::ReadFn> && std::is_same_v<decltype(&FT_Close), ftd2xx::CloseFn>,
              "the stand-in's exports as FTD2XX.dll declares them");
