#pragma once

#include "emulator/CallTrace.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/FpgaConfigPort.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Drives the instrument's pins as the MPSSE engine would, with the loader's
// pin values: 0x68 idle, 0x00 chip select, 0x08 FPGA reset.
struct InstrumentBoard
{
    static constexpr uint8_t direction = 0x6B;

    emu::VirtualClock clock;
    emu::CallTrace trace;
    std::string error; // before `board`: create() writes it
    std::unique_ptr<emu::EmulatedInstrument> board;

    explicit InstrumentBoard(const emu::InstrumentOptions& options = {})
        : board(emu::EmulatedInstrument::create(options, clock, &trace, error))
    {
        if (board)
            pins(0x68);
    }
    static emu::InstrumentOptions chip(const std::string& name, unsigned busyReads = 2)
    {
        emu::InstrumentOptions options;
        options.chip = name;
        options.busyStatusReads = busyReads;
        return options;
    }
    emu::SpiFlash& flash() { return board->flash(); }
    void pins(uint8_t value) { board->setLowPins(value, direction); }
    void send(const Bytes& bytes)
    {
        for (uint8_t byte : bytes)
            board->shift(byte, 8);
    }

    // One transaction: `out` clocked out, then `in` bytes clocked in.
    Bytes transact(const Bytes& out, size_t in = 0)
    {
        pins(0x00);
        send(out);
        Bytes reply;
        for (size_t i = 0; i < in; ++i)
            reply.push_back(board->shift(0, 8));
        pins(0x68);
        return reply;
    }
    static Bytes cmd(uint8_t opcode, uint32_t address, const Bytes& data = {})
    {
        Bytes bytes{opcode, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
        bytes.insert(bytes.end(), data.begin(), data.end());
        return bytes;
    }
    uint8_t status() { return transact({0x05}, 1)[0]; }
    // Polls like the loader; the number of status reads it took.
    unsigned waitReady(unsigned limit = 1000)
    {
        for (unsigned reads = 1; reads <= limit; ++reads)
            if ((status() & 0x01) == 0)
                return reads;
        return limit + 1;
    }
    // Write enable, the command, then wait.
    void write(const Bytes& command)
    {
        transact({0x06});
        transact(command);
        waitReady();
    }
    void program(uint32_t address, const Bytes& data) { write(cmd(0x02, address, data)); }
    Bytes read(uint32_t address, size_t length) { return transact(cmd(0x03, address), length); }
};
