#include "gui/NotificationPresenter.h"

#include "base/ProgressReporter.h"

#include <QSaveFile>
#include <QUrl>
#include <QtQml/qqml.h>

#include <algorithm>
#include <climits>
#include <string>

namespace FwLoaderGui {

NotificationPresenter::NotificationPresenter(QObject* parent)
    : QObject(parent)
{
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
            emit messageReported(message);
            emit reportArrived(message, type == ProgressReporter::Error);
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
    append(message, false);
}

void NotificationPresenter::append(const QString& message, bool error)
{
    const int row = model.rowCount();
    if (!model.insertRows(row, 1))
        return;
    model.setData(model.index(row, 0), message, Qt::DisplayRole);
    view.appended(row, message, error);
}

QString NotificationPresenter::saveLog(const QString& path) const
{
    const QUrl url(path);
    const QString local = url.isLocalFile() ? url.toLocalFile() : path;
    QSaveFile file(local);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    for (const QString& row : model.stringList()) {
        QByteArray bytes = row.toUtf8();
        if (!bytes.endsWith('\n'))
            bytes.append('\n');
        if (file.write(bytes) != bytes.size())
            return file.errorString();
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

void NotificationPresenter::addMessage(const char* message)
{
    addMessage(QString::fromUtf8(message));
}

} // namespace FwLoaderGui
