#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace FwLoaderGui {

class FWUpdateProcessor;

// The firmware directory as the window sees it: its version, the default
// files found there (the processor's firmware file among them, in a Basic
// run) and where it was looked for while it is missing. Tells the
// processor's properties when any of it changes. GUI thread only.
class FirmwareDirectory
{
public:
    explicit FirmwareDirectory(FWUpdateProcessor& processor);

    QUrl dir() const { return m_dir; }
    QString version() const { return m_version; }
    QString bootloaderFile() const { return m_bootloaderFile; }
    QStringList files() const { return m_files; }
    QString missing() const { return m_missing; }

    void setDir(const QUrl& dir);
    // Where the directory belongs (a local path); rescan looks there again
    // while dir is empty.
    void setHome(const QString& dir);
    // The directory again, as Refresh Device looks at it.
    void rescan();
    // The default files again, for the processor's programming mode.
    void refresh();

private:
    bool readVersionFile();
    void updateFiles();

    FWUpdateProcessor& m_processor;
    QUrl m_dir;
    QString m_home;
    QString m_version;
    QString m_bootloaderFile;
    QStringList m_files;
    QString m_missing;
};

} // namespace FwLoaderGui
