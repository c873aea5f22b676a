#include "gui/FirmwareDirectory.h"

#include "device/FirmwareSet.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/ProcessorShared.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

namespace FwLoaderGui {

FirmwareDirectory::FirmwareDirectory(FWUpdateProcessor& processor)
    : m_processor(processor)
{
}

void FirmwareDirectory::setDir(const QUrl& dir)
{
    if (m_dir == dir)
        return;
    m_dir = dir;
    emit m_processor.firmwareDirChanged();
    if (readVersionFile())
        refresh();
    updateFiles();
}

void FirmwareDirectory::setHome(const QString& dir)
{
    m_home = dir;
    updateFiles();
}

void FirmwareDirectory::rescan()
{
    if (m_dir.isEmpty()) {
        // Start-up found nothing there; it may have been put in place since.
        if (!m_home.isEmpty() && QFileInfo::exists(m_home))
            setDir(QUrl::fromLocalFile(QDir::toNativeSeparators(m_home)));
    } else if (readVersionFile()) {
        refresh();
    }
    updateFiles();
}

void FirmwareDirectory::updateFiles()
{
    const QString dir = m_dir.toLocalFile();
    QStringList files;
    if (!dir.isEmpty())
        for (const QString& name : {FWUpdateProcessor::firmwareFileName, FWUpdateProcessor::bootloaderFileName})
            if (QFileInfo(dir + QLatin1Char('/') + name).isFile())
                files << name;
    if (changeTo(m_files, files))
        emit m_processor.firmwareFilesChanged();
    QString missing;
    if (dir.isEmpty() ? !m_home.isEmpty() : !QFileInfo::exists(dir))
        missing = QDir::toNativeSeparators(dir.isEmpty() ? m_home : dir);
    if (changeTo(m_missing, missing))
        emit m_processor.firmwareDirMissingChanged();
}

bool FirmwareDirectory::readVersionFile()
{
    std::string version;
    // A URL that names no local directory must not turn into "/version.txt".
    const QString dir = m_dir.toLocalFile();
    const bool opened = !dir.isEmpty() && FirmwareSet::readVersion(text(dir), version);
    m_version = QString::fromStdString(version);
    if (m_version.isEmpty())
        m_version = QStringLiteral("Unknown");
    emit m_processor.firmwareVersionChanged();
    return opened;
}

void FirmwareDirectory::refresh()
{
    if (m_processor.programmingMode() == FWUpdateProcessor::Single) {
        m_bootloaderFile.clear();
        m_processor.setFirmwareFile(QString());
        return;
    }

    const QString dir = m_dir.toLocalFile();
    if (dir.isEmpty() || !QFileInfo::exists(dir))
        return;
    const QString bitstream = QDir::cleanPath(dir + QLatin1Char('/') + FWUpdateProcessor::bootloaderFileName);
    if (QFile::exists(bitstream))
        m_bootloaderFile = bitstream;
    const QString application = QDir::cleanPath(dir + QLatin1Char('/') + FWUpdateProcessor::firmwareFileName);
    if (QFile::exists(application))
        m_processor.setFirmwareFile(application);
}

} // namespace FwLoaderGui
