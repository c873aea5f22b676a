#pragma once

#include <QAbstractListModel>
#include <QString>
#include <QVector>

namespace FwLoaderGui {

// The window's table of a run on every attached instrument: one row per
// instrument with its serial number, flash part, stage, progress and how
// it ended. Changed on the GUI thread only.
class InstrumentRows : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role
    {
        SerialRole = Qt::UserRole + 1,
        FlashPartRole,
        StageRole,
        StageProgressRole,
        RunProgressRole,
        OutcomeRole,
        DetailRole,
    };

    struct Row
    {
        QString serial;
        QString flashPart;     // empty until identified
        QString stage;         // "Erasing pravel.srec", ...; empty when none goes
        double stageProgress = 0;
        double runProgress = 0;
        // "waiting", "running", "complete", "failed", "stopped", "not started"
        QString outcome;
        // Running: what a long wait awaits; after a failure: what happened
        // and the state it left.
        QString detail;
        bool operator==(const Row& other) const;
    };

    explicit InstrumentRows(QObject* parent = nullptr);

    int count() const { return rows.size(); }
    const Row& at(int index) const { return rows.at(index); }
    // A row per serial number, each waiting.
    void reset(const QStringList& serials);
    void update(int index, const Row& row);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    QVector<Row> rows;
};

} // namespace FwLoaderGui
