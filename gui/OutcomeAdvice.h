#pragma once

#include "device/FirmwareRun.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace FwLoaderGui {

// What the window tells the technician after a run or a failed detection:
// what happened, what state the instrument is in and what to do next, in
// plain words that name the window's own buttons. Built from facts, not from
// the log's rows, which stay the record underneath.
class OutcomeAdvice
{
public:
    enum class Kind
    {
        None,               // nothing to say
        Success,            // written: power-cycle the instrument
        NothingChanged,     // failed before the flash was touched
        Incomplete,         // the flash holds part of an image
        FlashNotIdentified, // the bridge answers, the flash does not name itself
        FlashBusy,          // the flash is still busy with what an interrupted run left
        BridgeLost,         // the bridge stopped answering, or cannot be opened
        NoBridge,           // no bridge on USB
    };

    // Said wherever the flash holds part of an image.
    static const QString willNotStart;

    // What one detection found.
    struct Detection
    {
        bool listed = false;         // the bridge channel is on the bus
        bool opened = false;         // ...and was opened and set up
        bool linkLost = false;       // the bridge went away meanwhile
        bool flashBusy = false;      // still busy with what an interrupted run left
        int identificationByte = -1; // what the flash answered; -1: no answer
        bool identified = false;     // a supported part
        bool incomplete = false;     // a run that touched the flash did not complete
    };

    // What one run did.
    struct Run
    {
        FirmwareRun::Outcome outcome;
        bool refused = false;      // never started: no device detected or no file chosen
        bool linkLost = false;     // the bridge went away during the run
        QString failedFile;        // the file name of the image that failed
        uint32_t failedOffset = 0; // ...and where it goes in the flash
        QString fileProblem;       // why that file could not be used, when known
        QString written;           // what a complete run wrote, for the success text
        bool incomplete = false;   // after this run
    };

    // What a run on every attached instrument did, each one's own advice
    // being in its row.
    struct Batch
    {
        QStringList succeeded;   // serial numbers
        QStringList failures;    // "FT7PRVL2: " and what happened to it, one per failed instrument
        bool incomplete = false; // one of them holds part of an image
        QString written;         // what was written: "Version 1.0"
    };

    static OutcomeAdvice forDetection(const Detection& facts);
    static OutcomeAdvice forRun(const Run& facts);
    static OutcomeAdvice forBatch(const Batch& facts);

    // "success", "nothingChanged", ...; empty for None.
    static QString kindName(Kind kind);

    Kind kind = Kind::None;
    QString title;
    QString text;
    QStringList steps; // in order; the window numbers them
};

} // namespace FwLoaderGui
