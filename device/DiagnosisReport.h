#pragma once

#include "device/DiagnosisStep.h"

#include <string>
#include <vector>

// What a diagnosis found, for the technician (one line per step and a
// summary) and for support (JSON, with the loader's version and the date).
class DiagnosisReport
{
public:
    // A step of the diagnosis as it is listed before it runs.
    struct StepName
    {
        const char* id;
        const char* name;
    };

    std::string program; // the face that ran it: "pravel-flash", "pravel-fw-loader"
    std::string version; // the loader's
    std::string date;    // when it began, UTC, ISO 8601
    std::string port;    // the bridge channel's description
    std::vector<StepName> planned;    // every step, in order
    std::vector<DiagnosisStep> steps; // those that ran
    bool stopped = false;             // a stop request ended it early

    // Every planned step ran and found nothing.
    bool allOk() const;
    // The planned steps that did not run.
    std::vector<StepName> notRun() const;
    // The closing line, without its end: what it came to.
    std::string summary() const;
    // The whole report as a JSON document, ending in a line end.
    std::string json() const;
};
