#pragma once

// FTD2XX.dll's side of the D2XX calls the loader makes, in the DLL's own
// Windows types as FTDI's D2XX programmer's guide declares them: the device
// list node and one function pointer type per call. The loader binds these
// at run time; the stand-in DLL of the tests exports functions of exactly
// these types. Windows only.

#include <windows.h>

#include <cstddef>

namespace ftd2xx {

// ULONG and DWORD are 32 bits on Windows; the handle is pointer-sized.
struct DeviceListNode
{
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    PVOID ftHandle;
};
#ifdef _WIN64
static_assert(sizeof(DeviceListNode) == 104 && offsetof(DeviceListNode, ftHandle) == 96,
              "the node as FTDI lays it out");
#endif

using CreateDeviceInfoListFn = ULONG(WINAPI*)(DWORD*);
using GetDeviceInfoListFn = ULONG(WINAPI*)(DeviceListNode*, DWORD*);
using OpenExFn = ULONG(WINAPI*)(PVOID, DWORD, PVOID*);
using ResetDeviceFn = ULONG(WINAPI*)(PVOID);
using PurgeFn = ULONG(WINAPI*)(PVOID, ULONG);
using SetLatencyTimerFn = ULONG(WINAPI*)(PVOID, UCHAR);
using SetBitModeFn = ULONG(WINAPI*)(PVOID, UCHAR, UCHAR);
using GetBitModeFn = ULONG(WINAPI*)(PVOID, UCHAR*);
using WriteFn = ULONG(WINAPI*)(PVOID, LPVOID, DWORD, DWORD*);
using GetStatusFn = ULONG(WINAPI*)(PVOID, DWORD*, DWORD*, DWORD*);
using ReadFn = ULONG(WINAPI*)(PVOID, LPVOID, DWORD, DWORD*);
using CloseFn = ULONG(WINAPI*)(PVOID);

} // namespace ftd2xx
