#include "gui/NotificationPresenter.h"

#include "base/ProgressReporter.h"

#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>
#include <QtQml/qqml.h>

#include <algorithm>
#include <cstdlib>
#include <climits>
#include <string>

namespace FwLoaderGui {

namespace {

const QString kStampFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");

} // namespace

NotificationPresenter::NotificationPresenter(QObject* parent, Now now)
    : QObject(parent)
    , now(std::move(now))
{
    qRegisterMetaType<QDateTime>("QDateTime");
    qmlRegisterUncreatableType<NotificationPresenter>("LoaderGUI", 1, 0, "NotificationPresenter",
                                                      QStringLiteral("NotificationPresenter"));

    // Runs on the reporting thread: it only emits, the connection below
    // carries the text over to this object's thread.
    ProgressReporter::getInstance().setReportCallback(
        [this](ProgressReporter::MessageType type, const std::string& text) {
            // The whole byte length, embedded zero bytes included; QString
            // cannot hold more than an int's worth anyway.
            const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
            const QString message = QString::fromUtf8(text.data(), length);
            const QDateTime reported = this->now();
            emit messageReported(message);
            emit reportArrived(message, type == ProgressReporter::Error, reported);
        });

    connect(this, &NotificationPresenter::reportArrived, this, &NotificationPresenter::append, Qt::AutoConnection);
}

NotificationPresenter::~NotificationPresenter()
{
    // The reporter's lock makes this wait for a report in flight on another
    // thread; afterwards nothing can reach this object any more. Queued
    // deliveries already posted are dropped by QObject's destructor.
    ProgressReporter::getInstance().setReportCallback({});
}

QStringListModel* NotificationPresenter::messagesModel()
{
    return &model;
}

QAbstractItemModel* NotificationPresenter::logView()
{
    return &view;
}

void NotificationPresenter::addMessage(const QString& message)
{
    append(message, false, now());
}

void NotificationPresenter::append(const QString& message, bool error, const QDateTime& reported)
{
    const int row = model.rowCount();
    if (!model.insertRows(row, 1))
        return;
    model.setData(model.index(row, 0), message, Qt::DisplayRole);
    stamps.append(reported);
    view.appended(row, message, error);
}

QString NotificationPresenter::savedRow(int row) const
{
    const QString stamp = stamps.value(row).toString(kStampFormat);
    const QString indent(stamp.size() + 1, QLatin1Char(' '));
    QString text = stamp + QLatin1Char(' ');
    const QString message = model.index(row, 0).data().toString();
    for (int i = 0; i < message.size(); ++i) {
        const QChar c = message.at(i);
        if (c == QLatin1Char('\n')) {
            // The row's own line end is not a line of its own.
            if (i + 1 < message.size())
                text += QLatin1Char('\n') + indent;
        } else if (c == QLatin1Char('\t')) {
            text += QLatin1Char(' ');
        } else if (c.category() == QChar::Other_Control) {
            // Carriage returns and other terminal controls mean nothing in a file.
        } else {
            text += c;
        }
    }
    return text;
}

QUrl NotificationPresenter::suggestedLogFolder() const
{
    // A dialog told to start in a folder that does not exist starts
    // elsewhere and drops the name offered with it.
    for (const auto location : {QStandardPaths::DocumentsLocation, QStandardPaths::HomeLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        if (!folder.isEmpty() && QDir(folder).exists())
            return QUrl::fromLocalFile(folder);
    }
    return QUrl::fromLocalFile(QDir::currentPath());
}

QString NotificationPresenter::suggestedLogName() const
{
    return QStringLiteral("pravel-fw-loader-log-%1.txt").arg(now().toString(QStringLiteral("yyyy-MM-dd-HHmmss")));
}

QString NotificationPresenter::saveLog(const QString& path, const QStringList& header)
{
    const QUrl url(path);
    const QString local = url.isLocalFile() ? url.toLocalFile() : path;
    QSaveFile file(local);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    const QDateTime saved = now();
    const int offset = saved.offsetFromUtc() / 60;
    QStringList lines = header;
    lines << QStringLiteral("Saved: %1; times are local, UTC%2%3:%4")
                 .arg(saved.toString(kStampFormat), offset < 0 ? QStringLiteral("-") : QStringLiteral("+"))
                 .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
                 .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0'))
          << QString();
    QByteArray bytes = lines.join(QLatin1Char('\n')).toUtf8() + '\n';
    for (int row = 0; row < model.rowCount(); ++row) {
        bytes += savedRow(row).toUtf8() + '\n';
        // Written as it grows: a long log is not held twice over.
        if (bytes.size() > (1 << 20)) {
            if (file.write(bytes) != bytes.size())
                return file.errorString();
            bytes.clear();
        }
    }
    if (file.write(bytes) != bytes.size() || !file.commit())
        return file.errorString();
    addMessage(QStringLiteral("Log saved to %1\n").arg(QDir::toNativeSeparators(local)));
    return QString();
}

void NotificationPresenter::addMessage(const char* message)
{
    addMessage(QString::fromUtf8(message));
}

} // namespace FwLoaderGui
