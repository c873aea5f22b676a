#pragma once

#include "gui/LogViewModel.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QStringListModel>
#include <QUrl>
#include <QVector>

#include <functional>

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
    // The wall-clock time a row is stamped with; called on the reporting thread.
    using Now = std::function<QDateTime()>;

    explicit NotificationPresenter(QObject* parent = nullptr, Now now = &QDateTime::currentDateTime);
    ~NotificationPresenter() override;

    QStringListModel* messagesModel();
    QAbstractItemModel* logView();

    Q_INVOKABLE void addMessage(const QString& message);
    void addMessage(const char* message);

    // Writes the log for support as UTF-8 text to `path` (a local path or a
    // file URL): the `header` lines and the time of saving, then every row
    // in order, each with the time it was reported; continuation lines of a
    // row are indented under it, and control characters (a progress row's
    // carriage return) are left out. Afterwards the log gets a row that says
    // where it went. Returns an empty string, or why the file was not written.
    Q_INVOKABLE QString saveLog(const QString& path, const QStringList& header = {});
    // A file name for the saved log, with the date and time in it, and a
    // folder that exists to offer it in: the documents folder, else home.
    Q_INVOKABLE QString suggestedLogName() const;
    Q_INVOKABLE QUrl suggestedLogFolder() const;

    // Row `row` as a saved log has it.
    QString savedRow(int row) const;

signals:
    void messageReported(const QString& message);
    // The same report with its type and the time it was made; this one
    // feeds the log.
    void reportArrived(const QString& message, bool error, const QDateTime& reported);

private:
    void append(const QString& message, bool error, const QDateTime& reported);

    Now now;
    QStringListModel model;
    QVector<QDateTime> stamps; // one per row of the model
    LogViewModel view{model};
};

} // namespace FwLoaderGui
