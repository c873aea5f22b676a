#include "gui/ProcessorShared.h"


#include <cmath>

namespace FwLoaderGui {

std::string text(const QString& s)
{
    return s.toUtf8().toStdString();
}

QString fromText(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

QString detailOf(const FirmwareRun::Progress& progress)
{
    if (progress.waiting.empty())
        return QString();
    return QString::fromStdString(progress.waiting) +
           QStringLiteral(": %1 s").arg(static_cast<long long>(std::floor(progress.waitedSeconds)));
}

bool worthShowing(const FirmwareRun::Progress& last, const FirmwareRun::Progress& now)
{
    return now.stage != last.stage || std::fabs(now.stageDone - last.stageDone) >= kProgressStep ||
           now.stageDone >= 1.0 || detailOf(now) != detailOf(last) || (now.secondsLeft < 0) != (last.secondsLeft < 0);
}

bool touchedFlash(const FirmwareRun::Outcome& outcome)
{
    return outcome.flashTouched || outcome.failedStage == FirmwareRun::Stage::Program ||
           outcome.failedStage == FirmwareRun::Stage::Verify;
}


} // namespace FwLoaderGui
