#include "app/FirmwareCheck.h"

#include "device/ImageCheck.h"
#include "device/WholeFile.h"

QString FirmwareCheck::problem(const QString& path, int offset) const
{
    if (offset != static_cast<int>(ImageCheck::bitstreamOffset) && offset != static_cast<int>(ImageCheck::applicationOffset))
        return QString();
    // A file that cannot be read is no question of its kind: the processor
    // refuses it (FWUpdateProcessor::refuseUnreadableFiles), the run too.
    WholeFile file;
    std::vector<unsigned char> data;
    if (path.isEmpty() || file.open(path.toUtf8().toStdString()) != WholeFile::Ok || file.readInto(data) != WholeFile::Ok)
        return QString();
    return QString::fromStdString(ImageCheck::check(data, static_cast<uint32_t>(offset)));
}
