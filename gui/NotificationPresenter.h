#pragma once

#include "gui/LogViewModel.h"

#include <QObject>
#include <QString>
#include <QStringListModel>

namespace FwLoaderGui {

// The QML-facing end of ProgressReporter: every report becomes one row of the
// activity log. Reports may come from any thread; the model is only ever
// changed on the thread the presenter lives in.
class NotificationPresenter : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("QML.Element", "auto")
    Q_PROPERTY(QStringListModel* messagesModel READ messagesModel CONSTANT)
    // The rows as the window shows them (see LogViewModel).
    Q_PROPERTY(QAbstractItemModel* logView READ logView CONSTANT)

public:
    explicit NotificationPresenter(QObject* parent = nullptr);
    ~NotificationPresenter() override;

    QStringListModel* messagesModel();
    QAbstractItemModel* logView();

    Q_INVOKABLE void addMessage(const QString& message);
    void addMessage(const char* message);

    // Writes every row of the log, in order, as UTF-8 text to `path` (a
    // local path or a file URL); a row that does not end with a line end
    // gets one. Returns an empty string, or why the file was not written.
    Q_INVOKABLE QString saveLog(const QString& path) const;

signals:
    void messageReported(const QString& message);
    // The same report with its type; this one feeds the log.
    void reportArrived(const QString& message, bool error);

private:
    void append(const QString& message, bool error);

    QStringListModel model;
    LogViewModel view{model};
};

} // namespace FwLoaderGui
