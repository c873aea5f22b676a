#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

// One step of a diagnosis as it ended: what it checked, whether all was
// well, and if not, what it found, the likely cause and what to do.
struct DiagnosisStep
{
    enum class Verdict { Ok, Finding };
    // A fact for the report: text or a number.
    using Value = std::variant<std::string, double>;

    int number = 0;
    std::string id;   // the report's key: "spi-lines"
    std::string name; // "SPI lines to the flash"
    Verdict verdict = Verdict::Ok;
    std::string line;   // what was seen, in sentences without a line end
    std::string cause;  // a finding's likely cause
    std::string action; // a finding's first thing to do
    bool stops = false; // the later steps would tell nothing more
    std::vector<std::pair<std::string, Value>> details;

    bool ok() const { return verdict == Verdict::Ok; }
    // One line without its end: "4. SPI lines to the flash: ok: ..." or
    // "4. SPI lines to the flash: FINDING: ... Likely cause: ... What to do: ..."
    std::string text() const;
};
