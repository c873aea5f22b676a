#include "device/DiagnosisReport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

bool DiagnosisReport::allOk() const
{
    if (stopped || steps.size() != planned.size())
        return false;
    for (const DiagnosisStep& step : steps)
        if (!step.ok())
            return false;
    return true;
}

std::vector<DiagnosisReport::StepName> DiagnosisReport::notRun() const
{
    return std::vector<StepName>(planned.begin() + static_cast<std::ptrdiff_t>(std::min(steps.size(), planned.size())),
                                 planned.end());
}

std::string DiagnosisReport::summary() const
{
    std::string findings;
    size_t count = 0;
    for (const DiagnosisStep& step : steps) {
        if (step.ok())
            continue;
        findings += std::string(count++ ? ", " : "") + std::to_string(step.number) + " " + step.name;
    }
    std::string out = count == 0 ? "Diagnose: no findings" : "Diagnose: " + std::to_string(count) +
                                                                   (count == 1 ? " finding (step " : " findings (steps ") +
                                                                   findings + ")";
    const std::vector<StepName> skipped = notRun();
    if (stopped)
        out += "; stopped on request after " + std::to_string(steps.size()) + " of " +
               std::to_string(planned.size()) + " steps";
    else if (!skipped.empty() && !steps.empty())
        out += (skipped.size() == 1   ? "; step " + std::to_string(planned.size())
                : skipped.size() == 2 ? "; steps " + std::to_string(steps.size() + 1) + " and " +
                                            std::to_string(planned.size())
                                      : "; steps " + std::to_string(steps.size() + 1) + " to " +
                                            std::to_string(planned.size())) +
               " not run: step " + std::to_string(steps.back().number) + " rules " +
               (skipped.size() == 1 ? "it" : "them") + " out";
    return out + ".";
}

std::string DiagnosisReport::json() const
{
    using nlohmann::ordered_json;
    ordered_json document;
    document["program"] = program;
    document["version"] = version;
    document["date"] = date;
    document["port"] = port;
    document["result"] = stopped ? "stopped" : allOk() ? "ok" : "findings";
    document["summary"] = summary();
    ordered_json& list = document["steps"] = ordered_json::array();
    for (const DiagnosisStep& step : steps) {
        ordered_json entry;
        entry["number"] = step.number;
        entry["id"] = step.id;
        entry["name"] = step.name;
        entry["verdict"] = step.ok() ? "ok" : "finding";
        entry["line"] = step.line;
        if (!step.ok()) {
            entry["cause"] = step.cause;
            entry["action"] = step.action;
            entry["stops"] = step.stops;
        }
        ordered_json& details = entry["details"] = ordered_json::object();
        for (const auto& [key, value] : step.details) {
            // Counts and register values stay whole numbers in the document.
            if (const double* number = std::get_if<double>(&value))
                details[key] = std::trunc(*number) == *number && std::fabs(*number) < 9e15
                                   ? ordered_json(static_cast<int64_t>(*number))
                                   : ordered_json(*number);
            else
                details[key] = std::get<std::string>(value);
        }
        list.push_back(std::move(entry));
    }
    ordered_json& skipped = document["notRun"] = ordered_json::array();
    for (const StepName& step : notRun())
        skipped.push_back({{"id", step.id}, {"name", step.name}});
    // Text that is not UTF-8 (a bridge's description) is replaced, not refused.
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

