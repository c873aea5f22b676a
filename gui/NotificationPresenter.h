#pragma once

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

public:
    explicit NotificationPresenter(QObject* parent = nullptr);
    ~NotificationPresenter() override;

    QStringListModel* messagesModel();

    Q_INVOKABLE void addMessage(const QString& message);
    void addMessage(const char* message);

signals:
    void messageReported(const QString& message);

private:
    QStringListModel model;
};

} // namespace FwLoaderGui
