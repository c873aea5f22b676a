#pragma once

#include <QAbstractListModel>
#include <QString>
#include <QVector>

class QStringListModel;

namespace FwLoaderGui {

// What the activity log's view shows of the log: every row, except that a
// run of consecutive progress rows shows as one row, the latest. Each shown
// row's text loses the carriage return a progress line starts with and the
// line end the row closes with, so a row of seven lines is seven lines tall.
// The log itself (the string-list model) keeps every row unchanged.
class LogViewModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role { ErrorRole = Qt::UserRole + 1, HiddenRole };

    explicit LogViewModel(const QStringListModel& log, QObject* parent = nullptr);

    // Row `logRow` of the log was appended; `error` marks an Error report.
    void appended(int logRow, const QString& text, bool error);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    static bool isProgress(const QString& text);
    static QString shown(const QString& text);

private:
    struct Entry
    {
        int logRow;
        bool error;
        bool progress;
        int hidden; // progress rows folded into this one
    };

    const QStringListModel& log;
    QVector<Entry> entries;
};

} // namespace FwLoaderGui
