#pragma once

#include "base/Clock.h"
#include "device/d2xx/D2xxDriver.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The one connection to the instrument's programming port: an FTDI bridge
// channel in MPSSE mode, driven as an SPI master. Port management (open,
// close, list, the FW_ wrappers) and the MPSSE command layer: every flash
// command is one SPI transaction (MPSSE_Transfer) in one USB write.
//
// Results: 1 success, 0 failure (PortOpen also -1); the FW_ wrappers pass the
// D2XX status through. Nothing throws.
class TFtdi
{
public:
    // The entry points hand in the driver they chose and the clock to sleep on.
    TFtdi(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock);

    void SetPortDescription(std::string description);
    // PortOpen() then opens the channel with this serial number ("FT7PRVLB")
    // or at this location, as FT_OpenEx does, until a description is set again.
    void SetPortSerialNumber(std::string serialNumber);
    void SetPortLocation(uint32_t location);
    // The channel as PortOpen() names it: the description, "serial S" or "location L".
    std::string PortName() const;
    // Named by serial number or location rather than by description.
    bool PortChosenByIdentity() const { return openBy != d2xx::FT_OPEN_BY_DESCRIPTION; }

    // A stop request (Ctrl-C, a Cancel) that the device loops check between
    // transactions and inside their waits; a transaction already begun is
    // finished first. nullptr: never stopped. The flag must outlive this.
    void SetStopRequest(const std::atomic<bool>* request);
    bool StopRequested() const;

    // One bridge channel as the driver lists it.
    struct Channel
    {
        uint32_t flags = 0;
        uint32_t type = 0;
        uint32_t id = 0;
        uint32_t locId = 0;
        std::string serialNumber;
        std::string description;
        bool operator==(const Channel& other) const;
    };
    // What one listing found: `counted` false when the driver could not
    // count the channels, `detailed` false when it then gave no details.
    struct Listing
    {
        bool counted = false;
        uint32_t count = 0;
        bool detailed = false;
        std::vector<Channel> channels;
        // FT_OK, or the status of the call that failed (then no channels).
        // Not compared: the same channels make the same listing.
        d2xx::FT_STATUS status = d2xx::FT_OK;
        bool operator==(const Listing& other) const;
        bool operator!=(const Listing& other) const { return !(*this == other); }
        // The first channel with `description`; nullptr if none.
        const Channel* find(const std::string& description) const;
    };

    // Whether PortOpen() takes this channel (by the way it was last named:
    // its description, serial number or location).
    bool PortIs(const Channel& channel) const;

    // Lists the channels into the log; 1 when there are any.
    int32_t PortDetect();
    // The same listing without a word to the log, and its report as
    // PortDetect makes it (with PortDetect's result).
    Listing ListChannels();
    static int32_t ReportChannels(const Listing& listing);
    int32_t PortOpen();
    int32_t PortOpen(std::string description);
    // On a lost link only the handle is given up, without a diagnostic.
    int32_t PortClose();

    d2xx::FT_STATUS FW_Write(unsigned char* data, int32_t length);
    // 0: `length` bytes read; FT_Read's status on a failed read; 1: time-out.
    // Waits for exactly `length` bytes queued: more means a stale reply.
    int32_t FW_Read(unsigned char* buffer, uint32_t length);
    d2xx::FT_STATUS FW_GetStatus(uint32_t& rxBytes, uint32_t& txBytes);
    d2xx::FT_STATUS FW_GetBitMode(unsigned char& pins);
    d2xx::FT_STATUS FW_SetBitMode(unsigned char mask, unsigned char mode);

    // One flash transaction: chip select low; the opcode, its address and
    // its data bytes clocked out; `idleMicroseconds` of clocks with nothing
    // on the line (a wait timed by the bridge, chip select still low: the
    // flash only repeats its status meanwhile, and the FPGA, which listens
    // while chip select is high, sees no clocks); `replyLength` bytes clocked
    // in; send-immediate when flushed; chip select high.
    struct SpiCommand
    {
        explicit SpiCommand(unsigned char opcode) : opcode(opcode) {}
        SpiCommand& at(uint32_t flashAddress);
        SpiCommand& sending(const unsigned char* bytes, uint32_t count);
        SpiCommand& idle(uint32_t microseconds);
        SpiCommand& reading(uint32_t count);
        SpiCommand& flushed();

        unsigned char opcode;
        bool hasAddress = false;
        uint32_t address = 0; // three bytes: only bits 23..0 reach the flash
        const unsigned char* data = nullptr;
        uint32_t dataLength = 0;
        uint32_t idleMicroseconds = 0;
        uint32_t replyLength = 0;
        bool flush = false;
    };
    // The transaction as MPSSE bytes, appended to `out`.
    static void AppendSpi(std::vector<unsigned char>& out, const SpiCommand& command);
    // The transaction in one write and, when it has one, its reply into `reply`.
    int32_t MPSSE_Transfer(const SpiCommand& command, unsigned char* reply = nullptr);

    int32_t MPSSE_Setup();
    int32_t MPSSE_WriteEnable();
    int32_t MPSSE_BulkErase();
    int32_t MPSSE_EraseSector(uint32_t address);
    int32_t MPSSE_SendClock(unsigned char count);
    int32_t MPSSE_ReadID(unsigned char& id);
    // Manufacturer, type and capacity bytes of the last identification that
    // was read; 0 before any.
    uint32_t LastJedecId() const { return lastJedecId; }
    int32_t MPSSE_FPGAReset();
    // Chip select high and the FPGA lines released: where a stopped run
    // leaves the pins before the port closes.
    int32_t MPSSE_IdlePins();
    int32_t MPSSE_NVCRRead(unsigned char* value);
    int32_t MPSSE_NVCRWrite(unsigned char high, unsigned char low);
    int32_t MPSSE_ReadStatus(unsigned char& status);
    int32_t MPSSE_GetDone(int32_t& done);
    int32_t MPSSE_ReadFlagStatus(unsigned char& flags);
    int32_t MPSSE_ReadDataBitsLowByte(unsigned char* value);
    int32_t MPSSE_ReadDataBytes(uint32_t address, unsigned char* buffer, int32_t length);
    int32_t MPSSE_Configuration(unsigned char* data, int32_t length);
    int32_t MPSSE_PageProgram(uint32_t address, unsigned char* data, int32_t length);

    // Pipelined programming: one page's write enable and page program
    // transactions, followed by a status read whose byte is clocked in
    // `waitMicroseconds` after the page program ended. MPSSE_PageProgramPipelined
    // sends the pages in one USB write; MPSSE_ReadStatusBytes then fetches
    // their status bytes in one read. A page still busy at its status read
    // makes the flash ignore the pages after it.
    struct PageWrite
    {
        uint32_t address;
        const unsigned char* data;
        int32_t length; // 1..256, within one flash page
    };
    int32_t MPSSE_PageProgramPipelined(const PageWrite* pages, int32_t count, uint32_t waitMicroseconds);
    int32_t MPSSE_ReadStatusBytes(unsigned char* statuses, int32_t count);
    // A status read whose byte is clocked in `waitMicroseconds` after chip
    // select falls, flushed at once: one poll spaced on the wire. With no
    // wait it is MPSSE_ReadStatus.
    int32_t MPSSE_ReadStatusAfter(uint32_t waitMicroseconds, unsigned char& status);
    // Queued reads: the command goes out now, its bytes are fetched in order
    // by MPSSE_ReadDataBytesReceive, so the next command can be on its way
    // before the previous reply is read. A failed receive empties the
    // receive queue.
    int32_t MPSSE_ReadDataBytesSend(uint32_t address, int32_t length);
    int32_t MPSSE_ReadDataBytesReceive(unsigned char* buffer, int32_t length);

    // Bring-up checks of the bridge and its wiring, for a diagnosis. None of
    // them reaches the flash: chip select stays high.
    // What came back for a bad-command probe: bytes left from before first,
    // then, from an MPSSE engine, 0xFA and the opcode.
    struct SyncAnswer
    {
        std::vector<unsigned char> bytes;
        uint64_t microseconds = 0; // from the write until the last byte was there
    };
    // Sends `badOpcode` (after emptying both queues when `purgeFirst`;
    // followed by send-immediate when `flushed`, else the answer waits for
    // the latency timer) and takes what is queued until the engine's answer
    // FA <opcode> is in or `waitMicroseconds` have passed. 1: the bytes end
    // in that answer.
    int32_t MPSSE_Sync(unsigned char badOpcode, bool purgeFirst, bool flushed, uint32_t waitMicroseconds,
                       SyncAnswer& answer);
    // One write, with the flash deselected and the FPGA held in reset, so that
    // nothing on the board listens: loopback on, `count` bytes (1..65536)
    // clocked out and in, loopback off, pins idle. What came back into `echoed`.
    int32_t MPSSE_Loopback(const unsigned char* pattern, uint32_t count, unsigned char* echoed);
    // SK = 60 MHz / ((1 + divisor) * 2) from the next transaction on. The
    // set-up sequence's divisor gives the loader's 15 MHz.
    static constexpr uint16_t standardClockDivisor = 1;
    static uint32_t SpiClockHz(uint16_t divisor);
    int32_t MPSSE_SetClockDivisor(uint16_t divisor);

    // The clock every sleep of the device classes goes through.
    Clock& clock() { return *sleepClock; }
    // Another one from now on: the instrument about to be opened runs on a
    // clock of its own (an emulated bench). Not while the port is in use.
    void SetClock(Clock& clock) { sleepClock = &clock; }

    // true once a failed transfer (or a failed set-up in PortOpen) found the
    // bridge gone: every later transfer fails at once, without the driver,
    // until the port is opened again. Nothing is reported then: the caller
    // that ends the operation says linkLostMessage as its last line.
    bool LinkLost() const { return linkLost; }
    static const char linkLostMessage[];

    // Written by FT_OpenEx; never cleared.
    d2xx::FT_HANDLE Handle() const { return handle; }
    const std::string& PortDescription() const { return portDescription; }
    // FW_Read polls the receive queue up to ReadTimeout() * 100 times, 100 us apart.
    int32_t ReadTimeout() const { return readTimeout; }
    void SetReadTimeout(int32_t timeout) { readTimeout = timeout; }

    // Part of the interface; nothing in the loader calls it.
    // FT_Close alone, without leaving MPSSE mode first.
    d2xx::FT_STATUS PortCloseSimple();

private:
    // Every channel the driver lists; the status of the failing call
    // otherwise (and no nodes). `counted` gets what FT_CreateDeviceInfoList
    // announced, when it answered.
    d2xx::FT_STATUS PortList(std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE>& nodes, uint32_t* counted);
    static constexpr uint32_t kNotCounted = UINT32_MAX;
    // Waits until the reply is queued, then reads `length` bytes. With
    // `moreMayFollow` the queue may already hold later replies behind it;
    // without, more than `length` bytes queued is a stale reply and fails.
    // Whatever fails, the receive queue is emptied.
    int32_t Receive(unsigned char* buffer, uint32_t length, bool moreMayFollow);
    // Write enable as a transaction of its own, then `command`; a failure
    // of either is named by its line on standard error, when given.
    int32_t WriteEnabled(const SpiCommand& command, const char* enableFailed, const char* commandFailed);
    int32_t Send(std::vector<unsigned char>& bytes);
    // After a failed or mismatched transfer: empties both queues, so no stale
    // reply is taken for the next one. A failing purge means the bridge is gone.
    void DiscardQueues();

    std::shared_ptr<d2xx::D2xxDriver> driver;
    Clock* sleepClock;
    d2xx::FT_HANDLE handle = nullptr;
    std::string portDescription;
    uint32_t openBy = d2xx::FT_OPEN_BY_DESCRIPTION;
    std::string portSerialNumber;
    uint32_t portLocation = 0;
    uint32_t lastJedecId = 0;
    int32_t readTimeout = 100;
    std::vector<unsigned char> batch; // kept between calls: a pipelined write is tens of KiB
    // The handle has not been closed successfully since FT_OpenEx gave it:
    // the driver may still hold the channel, so the next open closes it first.
    bool handleHeld = false;
    bool linkLost = false;
    const std::atomic<bool>* stopRequest = nullptr;
};
