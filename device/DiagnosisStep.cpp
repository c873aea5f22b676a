#include "device/DiagnosisStep.h"

std::string DiagnosisStep::text() const
{
    std::string out = std::to_string(number) + ". " + name + ": " + (ok() ? "ok: " : "FINDING: ") + line;
    if (!ok()) {
        if (!cause.empty())
            out += " Likely cause: " + cause;
        if (!action.empty())
            out += " What to do: " + action;
    }
    return out;
}
