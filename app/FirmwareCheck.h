#pragma once

#include <QObject>
#include <QString>

// The window's way to the file-kind check (device/ImageCheck) before a run
// erases anything.
class FirmwareCheck : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Empty when `path` looks like what belongs at `offset`, or when it cannot
    // be read (refused before any question); else what is wrong with it.
    Q_INVOKABLE QString problem(const QString& path, int offset) const;
};
