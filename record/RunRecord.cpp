#include "record/RunRecord.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string hexId(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
    return text;
}

nlohmann::ordered_json toJson(const RunRecord& r)
{
    using json = nlohmann::ordered_json;
    const auto orNull = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
    json images = json::array();
    for (const RunRecord::Image& image : r.images)
        images.push_back({{"path", image.path},
                          {"offset", image.offset},
                          {"size", image.size},
                          {"sha256", orNull(image.sha256)}});
    json options = json::object();
    for (const auto& option : r.options)
        options[option.first] = option.second;
    json out;
    out["time"] = r.time;
    out["program"] = r.program;
    out["version"] = r.version;
    out["host"] = orNull(r.host);
    out["serial"] = orNull(r.serialNumber);
    // As pravel-flash list shows it: lower-case, no padding.
    char location[16];
    std::snprintf(location, sizeof location, "0x%x", static_cast<unsigned>(r.location));
    out["location"] = r.location ? json(location) : json(nullptr);
    out["flash_part"] = orNull(r.flashPart);
    out["jedec_id"] = r.jedecId ? json(hexId(r.jedecId, 6)) : json(nullptr);
    out["firmware_version"] = orNull(r.firmwareVersion);
    out["images"] = images;
    out["options"] = options;
    out["outcome"] = r.outcome;
    const bool failed = r.failedImage >= 0 && static_cast<size_t>(r.failedImage) < r.images.size();
    out["failed_image"] = failed ? json(r.images[static_cast<size_t>(r.failedImage)].path) : json(nullptr);
    out["failed_stage"] = orNull(r.failedStage);
    // Milliseconds are plenty, and keep the line short.
    out["duration_s"] = std::round(r.durationSeconds * 1000.0) / 1000.0;
    return out;
}

} // namespace

std::string RunRecord::jsonLine() const
{
    // A path that is not UTF-8 is written with replacement characters rather
    // than failing the record.
    return toJson(*this).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string RunRecord::document(const std::vector<RunRecord>& records)
{
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    for (const RunRecord& record : records)
        runs.push_back(toJson(record));
    nlohmann::ordered_json out;
    out["runs"] = runs;
    return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string RunRecord::utcNow()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string RunRecord::hostName()
{
#ifdef _WIN32
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
#else
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
#endif
}
