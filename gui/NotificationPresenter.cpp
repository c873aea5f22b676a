#include "gui/NotificationPresenter.h"

#include "base/ProgressReporter.h"

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
        [this](ProgressReporter::MessageType, const std::string& text) {
            // The whole byte length, embedded zero bytes included; QString
            // cannot hold more than an int's worth anyway.
            const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
            emit messageReported(QString::fromUtf8(text.data(), length));
        });

    connect(this, &NotificationPresenter::messageReported, this,
            qOverload<const QString&>(&NotificationPresenter::addMessage), Qt::AutoConnection);
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

void NotificationPresenter::addMessage(const QString& message)
{
    const int row = model.rowCount();
    if (!model.insertRows(row, 1))
        return;
    model.setData(model.index(row, 0), message, Qt::DisplayRole);
}

void NotificationPresenter::addMessage(const char* message)
{
    addMessage(QString::fromUtf8(message));
}

} // namespace FwLoaderGui
