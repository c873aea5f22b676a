#pragma once

#include "emulator/FlashPart.h"
#include "emulator/FlashStorage.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace emu {

class CallTrace;
class VirtualClock;

// How long the flash stays busy and which faults it shows.
struct FlashBehaviour
{
    unsigned busyStatusReads = 2; // instant mode: status bytes that still show WIP
    bool timed = false;           // busy for the part's typical times on the virtual clock
    bool stuckBusy = false;       // WIP never clears after the first program or erase
    std::vector<uint32_t> flippedAddresses; // bit 0 of these bytes reads inverted
};

// A SPI NOR flash in mode 0, MSB first, as seen from its pins: chip select,
// and one bit in / one bit out per clock. A transaction runs from chip select
// falling to rising; writes are carried out when it rises.
class SpiFlash
{
public:
    SpiFlash(const FlashPart& part, std::unique_ptr<FlashStorage> storage, FlashBehaviour behaviour,
             VirtualClock& clock, CallTrace* trace);

    void select(bool selected); // true: chip select low
    // `bits` (1..8) clocks: `out` MSB-aligned on MOSI; returns MISO, MSB-aligned.
    uint8_t shift(uint8_t out, unsigned bits);
    // The MISO line now; pulled up (1) while deselected or not driving.
    bool misoLevel() const;

    const FlashPart& part() const { return chip; }
    const FlashStorage& storage() const { return *store; }
    bool busy();
    bool writeEnabled() const { return wel; }
    uint8_t bankRegister() const { return bank; }
    uint64_t statusBytesRead() const { return statusReads; } // 0x05 and 0x70 bytes clocked out

    enum class Kind { WriteEnable, WriteDisable, ReadStatus, ReadFlagStatus, ReadId, Read, PageProgram,
                      SectorErase, BulkErase, ReadNvcr, WriteNvcr, ReadBank, WriteBank };
    enum class Feature { None, FlagStatus, Nvcr, BankRegister, FourByteOpcodes };
    struct Command
    {
        uint8_t opcode;
        Kind kind;
        unsigned addressBytes; // 0, 3 (4 in extended address mode) or 4
        Feature feature;
    };

private:
    void completeByte(uint8_t in);
    void decodeOpcode(uint8_t opcode);
    void addressComplete();
    void nextOutput(uint8_t in);
    void endTransaction();
    bool execute();
    void startBusy(uint64_t typicalNs, bool programOrErase);
    void finishBusy();
    bool supported(Feature feature) const;
    uint8_t statusValue();
    uint8_t flagStatusValue();
    uint8_t dataAt(uint32_t address) const;

    const FlashPart& chip;
    std::unique_ptr<FlashStorage> store;
    FlashBehaviour behaviour;
    VirtualClock& clock;
    CallTrace* trace;

    // Registers.
    bool wel = false;
    uint8_t bank = 0; // bit 0: A24, bit 7: 3-byte commands take 4 address bytes

    // Busy state.
    bool busyActive = false;
    bool stuck = false;
    unsigned busyReadsLeft = 0;
    uint64_t busyUntilNs = 0;

    // The transaction under way.
    bool selectedNow = false;
    unsigned bitCount = 0;
    uint8_t inShift = 0;
    uint8_t outByte = 0xFF;
    uint32_t byteCount = 0;
    const Command* command = nullptr;
    uint8_t opcode = 0;
    bool ignored = false;
    unsigned addressBytesWanted = 0;
    uint32_t rawAddress = 0;
    uint32_t address = 0;
    bool addressDone = false;
    uint32_t dataCount = 0;
    uint32_t readPointer = 0;
    std::vector<uint8_t> pageBuffer;
    uint8_t registerData[2] = {0, 0};

    uint64_t statusReads = 0;
};

} // namespace emu
