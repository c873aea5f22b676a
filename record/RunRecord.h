#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What one programming run did to one instrument, for support: which
// firmware went into which unit, when, and how it ended. Written as one
// JSON line (docs/run-record.md); a batch's records also as one document.
struct RunRecord
{
    struct Image
    {
        std::string path;
        uint32_t offset = 0;
        uint64_t size = 0;
        std::string sha256; // lower-case hex; empty when the file was not read
    };

    std::string time;            // the run's start, UTC, ISO 8601: 2024-05-01T12:34:56Z
    std::string program;         // "pravel-flash", "pravel-fw-loader"
    std::string version;
    std::string host;
    std::string serialNumber;    // the bridge's USB serial number; empty when unknown
    uint32_t location = 0;       // D2XX location of the channel; 0 when unknown
    std::string flashPart;       // "MT25Q128"; empty when not identified
    uint32_t jedecId = 0;        // manufacturer, type, capacity; 0 when not read
    std::string firmwareVersion; // the firmware directory's version.txt; empty when none
    std::vector<Image> images;
    std::vector<std::pair<std::string, std::string>> options; // name, value, in order
    std::string outcome;         // "success", "failed", "interrupted"
    int failedImage = -1;        // index into images
    std::string failedStage;     // "open", "identify", "load", "erase", "program", "verify"; empty on success
    double durationSeconds = 0;  // on the instrument's clock (emulated time on the emulated bench)

    // One line of JSON, no line end.
    std::string jsonLine() const;
    // The records as one indented JSON document: {"runs": [...]}.
    static std::string document(const std::vector<RunRecord>& records);

    // Now, as `time` wants it.
    static std::string utcNow();
    // This machine's name; empty when the system does not say.
    static std::string hostName();
};
