#pragma once

#include "device/FirmwareRun.h"

#include <QString>

#include <cstdint>
#include <vector>

class FirmwareSet;

namespace FwLoaderGui {

class FWUpdateProcessor;

// A run on the one instrument the window works on, through the processor's
// own device objects: on the worker thread, its progress and its end shown
// on the GUI thread (the progress, the outcome panel, the instrument's state).
class SingleRun
{
public:
    explicit SingleRun(FWUpdateProcessor& processor);

    // The worker thread's part, of the run the processor took last.
    void run();

private:
    // What the run did, for the window: read on the run's thread.
    struct Report
    {
        FirmwareRun::Outcome outcome;
        QString written; // RunRequest::written
        bool refused = false;
        bool linkLost = false;
        std::vector<uint32_t> offsets; // of the images, in order
        QString failedFile;            // file name
        uint32_t failedOffset = 0;
    };

    // The run's steps; `firmware`: the images it wrote, in order.
    FirmwareRun::Outcome runSteps(FirmwareSet& firmware);
    // GUI thread: the outcome panel and the state after the run.
    void present(const Report& report);

    FWUpdateProcessor& m_processor;
};

} // namespace FwLoaderGui
