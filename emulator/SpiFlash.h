#pragma once

#include "emulator/config/FlashFaults.h"
#include "emulator/config/FlashPart.h"
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
    bool timed = false;           // busy for the part's datasheet times on the virtual clock
    bool worst = false;           // with `timed`: the maximum times instead of the typical ones
    FlashFaults faults;           // what the chip does wrong
};

// A SPI NOR flash in mode 0, MSB first, as seen from its pins: chip select,
// and one bit in / one bit out per clock. A transaction runs from chip select
// falling to rising; writes are carried out when it rises. The command set is
// the part family's single-line one (FlashPart::Family); opcodes the part
// does not have, and the multi-line reads and programs, are ignored with
// MISO left floating high.
class SpiFlash
{
public:
    SpiFlash(const FlashPart& part, std::unique_ptr<FlashStorage> storage, FlashBehaviour behaviour,
             VirtualClock& clock, CallTrace* trace);

    void select(bool selected); // true: chip select low
    // `bits` (1..8) clocks: `out` MSB-aligned on MOSI; returns MISO, MSB-aligned.
    uint8_t shift(uint8_t out, unsigned bits);
    // `count` clocks with MOSI held high or low and MISO not sampled.
    void clockIdle(bool mosiHigh, uint64_t count);
    // The MISO line now; pulled up (1) while deselected or not driving.
    bool misoLevel() const;

    const FlashPart& part() const { return chip; }
    const FlashStorage& storage() const { return *store; }
    bool busy();
    bool writeEnabled() const { return wel; }
    uint8_t bankRegister() const { return bank; }
    bool fourByteAddressing() const;
    bool deepPoweredDown() const { return powerDown; }
    uint64_t statusBytesRead() const { return statusReads; } // 0x05 and 0x70 bytes clocked out
    static constexpr unsigned kHeldPageStatusReads = 3;

    enum class Kind : uint8_t;
    struct Command;
    static constexpr unsigned registerCount = 7;

private:
    void completeByte(uint8_t in);
    void decodeOpcode(uint8_t opcode);
    void addressComplete();
    void consume(uint8_t in);
    uint8_t outputFor(uint32_t phaseByte);
    uint8_t stream(uint32_t index);
    void endTransaction();
    bool execute();
    bool eraseRange(uint32_t at, uint32_t& start, uint32_t& length) const;
    bool isProtected(uint32_t start, uint32_t length) const;
    void refuse(bool program);
    // operation: program, erase or 0 (a register); holdReads: see FlashFaults::heldPages
    void startBusy(const BusyTime& time, uint8_t operation, unsigned holdReads = 0);
    void finishBusy();
    void softwareReset();
    uint8_t statusValue();
    uint8_t flagStatusValue();
    uint8_t dataAt(uint32_t address) const;
    bool micron() const { return chip.family == FlashPart::Family::Micron; }

    const FlashPart& chip;
    std::unique_ptr<FlashStorage> store;
    FlashBehaviour behaviour;
    VirtualClock& clock;
    CallTrace* trace;
    std::vector<uint8_t> sfdp;
    std::vector<uint8_t> otp;

    // Registers. Micron: status bits 7..2 (SRWD, BP3, TB, BP2..0), flag
    // status errors, volatile and enhanced volatile configuration, extended
    // address, 4-byte mode. Spansion: SR1 bits 7..2 (SRWD, P_ERR, E_ERR,
    // BP2..0), CR1, bank register.
    bool wel = false;
    uint8_t statusBits = 0;
    uint8_t flagErrors = 0;
    uint8_t volatileConfig = 0xFB;
    uint8_t enhancedConfig = 0xDF;
    uint8_t extendedAddress = 0;
    bool fourByteMode = false;
    uint8_t config = 0;
    uint8_t bank = 0;
    bool bankAccessArmed = false; // Spansion 0xB9: the next 0x01 writes the bank register
    bool resetArmed = false;      // Micron 0x66 just ran
    bool powerDown = false;       // Micron deep power-down

    // Plain byte registers (password, protection, freeze, learning pattern,
    // autoboot), and per-64 KiB-sector volatile and nonvolatile locks.
    std::vector<uint8_t> registers[registerCount];
    std::vector<uint8_t> volatileLocks;
    std::vector<uint8_t> nonvolatileLocks;

    // Busy state.
    bool busyActive = false;
    uint8_t busyOperation = 0;
    uint8_t suspended = 0; // the operation a suspend command holds
    uint64_t suspendedNs = 0;
    unsigned suspendedReads = 0;
    bool stuck = false;
    bool errorHeld = false; // Spansion P_ERR / E_ERR: busy until 0x30
    unsigned busyReadsLeft = 0;
    unsigned holdStatusReads = 0; // status reads a held page still waits for
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
    unsigned addressBytes = 0;
    uint32_t rawAddress = 0;
    uint32_t address = 0;
    bool addressDone = false;
    unsigned dummyBits = 0;
    uint32_t phaseBytes = 0; // bytes clocked after opcode and address, dummy bytes included
    std::vector<uint8_t> pageBuffer;
    uint8_t registerData[8] = {};

    uint64_t statusReads = 0;
};

} // namespace emu
