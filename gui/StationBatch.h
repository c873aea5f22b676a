#pragma once

#include "gui/OutcomeAdvice.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

class FirmwareBatch;
class FirmwareSet;

namespace FwLoaderGui {

class FWUpdateProcessor;
class InstrumentRows;

// The same firmware into every attached instrument at once, each on a
// thread of its own (FirmwareBatch), started from the processor's worker
// thread, with a row each in the window's table; the files read and checked
// once before any instrument is touched, the bitstream's own risk asked
// about once. Rows and the processor's panels change on the GUI thread only.
class StationBatch
{
public:
    explicit StationBatch(FWUpdateProcessor& processor);

    // The table: one row per instrument of the last batch; kept until the
    // next run starts.
    InstrumentRows& rows() const { return *m_rows; }
    bool programmingAll() const { return m_programmingAll; }

    // GUI thread: starts it, unless a run is pending or active (saying so).
    void start(bool confirmed);

private:
    // How each instrument ended, for the window.
    struct End
    {
        std::vector<QString> outcomes; // per row: "complete", "failed", "stopped", "not started"
        std::vector<QString> details;
        std::vector<QString> flashParts;
        // Offsets left partly written (or rewritten whole) per serial number.
        QHash<QString, QSet<uint32_t>> incomplete, completed;
        OutcomeAdvice advice;
        bool failed = false;
    };

    // The worker thread's part: the files read and checked, the bitstream's
    // own risk asked about, then runAll.
    void run();
    // The runs of a prepared batch, on the worker thread, and their ends: the
    // records kept, the rows' outcomes. `confirmedRisk`: the bitstream's own
    // risk, confirmed for every instrument.
    End runAll(const FirmwareBatch& batch, const FirmwareSet& set, const std::string& confirmedRisk);
    // GUI thread: the rows, the outcome panel and the chosen instrument again.
    void present(const End& end);

    FWUpdateProcessor& m_processor;
    InstrumentRows* m_rows; // the processor's child
    bool m_programmingAll = false;
};

} // namespace FwLoaderGui
