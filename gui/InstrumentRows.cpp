#include "gui/InstrumentRows.h"

namespace FwLoaderGui {

bool InstrumentRows::Row::operator==(const Row& other) const
{
    return serial == other.serial && flashPart == other.flashPart && stage == other.stage &&
           stageProgress == other.stageProgress && runProgress == other.runProgress && outcome == other.outcome &&
           detail == other.detail;
}

InstrumentRows::InstrumentRows(QObject* parent) : QAbstractListModel(parent) {}

void InstrumentRows::reset(const QStringList& serials)
{
    const int before = rows.size();
    beginResetModel();
    rows.clear();
    for (const QString& serial : serials)
        rows.append(Row{serial, QString(), QString(), 0, 0, QStringLiteral("waiting"), QString()});
    endResetModel();
    if (rows.size() != before)
        emit countChanged();
}

void InstrumentRows::update(int index, const Row& row)
{
    if (index < 0 || index >= rows.size() || rows[index] == row)
        return;
    rows[index] = row;
    const QModelIndex changed = this->index(index);
    emit dataChanged(changed, changed);
}

int InstrumentRows::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

QVariant InstrumentRows::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return {};
    const Row& row = rows.at(index.row());
    switch (role) {
    case SerialRole:
        return row.serial;
    case FlashPartRole:
        return row.flashPart;
    case StageRole:
        return row.stage;
    case StageProgressRole:
        return row.stageProgress;
    case RunProgressRole:
        return row.runProgress;
    case OutcomeRole:
        return row.outcome;
    case DetailRole:
        return row.detail;
    default:
        return {};
    }
}

QHash<int, QByteArray> InstrumentRows::roleNames() const
{
    return {{SerialRole, "serial"},         {FlashPartRole, "flashPart"}, {StageRole, "stage"},
            {StageProgressRole, "stageProgress"}, {RunProgressRole, "runProgress"}, {OutcomeRole, "outcome"},
            {DetailRole, "detail"}};
}

} // namespace FwLoaderGui
