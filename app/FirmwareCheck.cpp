#include "app/FirmwareCheck.h"

#include "device/ImageCheck.h"

#include <QFileInfo>

QString FirmwareCheck::problem(const QString& path, int offset) const
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return QString();
    return QString::fromStdString(ImageCheck::checkFile(path.toUtf8().toStdString(), static_cast<uint32_t>(offset)));
}
