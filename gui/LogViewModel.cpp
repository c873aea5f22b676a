#include "gui/LogViewModel.h"

#include <QStringListModel>

namespace FwLoaderGui {

LogViewModel::LogViewModel(const QStringListModel& log, QObject* parent)
    : QAbstractListModel(parent)
    , log(log)
{
}

bool LogViewModel::isProgress(const QString& text)
{
    return text.startsWith(QLatin1String("\rProgress: "));
}

QString LogViewModel::shown(const QString& text)
{
    int begin = 0;
    int end = text.size();
    if (end > 0 && text.at(0) == QLatin1Char('\r'))
        ++begin;
    if (end > begin && text.at(end - 1) == QLatin1Char('\n'))
        --end;
    if (end > begin && text.at(end - 1) == QLatin1Char('\r'))
        --end;
    return text.mid(begin, end - begin);
}

void LogViewModel::appended(int logRow, const QString& text, bool error)
{
    const bool progress = isProgress(text);
    if (progress && !entries.isEmpty() && entries.last().progress) {
        Entry& last = entries.last();
        last.logRow = logRow;
        last.error = error;
        ++last.hidden;
        const QModelIndex changed = index(entries.size() - 1);
        emit dataChanged(changed, changed);
        return;
    }
    beginInsertRows(QModelIndex(), entries.size(), entries.size());
    entries.append(Entry{logRow, error, progress, 0});
    endInsertRows();
}

int LogViewModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : entries.size();
}

QVariant LogViewModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= entries.size())
        return {};
    const Entry& entry = entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return shown(log.index(entry.logRow).data().toString());
    case ErrorRole:
        return entry.error;
    case HiddenRole:
        return entry.hidden;
    default:
        return {};
    }
}

QHash<int, QByteArray> LogViewModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"}, {ErrorRole, "error"}, {HiddenRole, "hidden"}};
}

} // namespace FwLoaderGui
