#include "gui/NotificationPresenter.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QtTest>

#include <memory>

using FwLoaderGui::NotificationPresenter;

// The window's side of the presenter: what a QML document may and may not do.
class PresenterQmlTest : public QObject
{
    Q_OBJECT

private slots:
    void qmlReachesTheLogThroughAContextProperty()
    {
        NotificationPresenter presenter;
        QQmlEngine engine;
        engine.rootContext()->setContextProperty("presenter", &presenter);

        QQmlComponent caller(&engine);
        caller.setData("import QtQml 2.15\n"
                       "QtObject {\n"
                       "  property int before: presenter.messagesModel.rowCount()\n"
                       "  Component.onCompleted: presenter.addMessage(\"Starting loading of /tmp/f\u00fcr.bit\")\n"
                       "}\n",
                       QUrl("qrc:/caller.qml"));
        std::unique_ptr<QObject> object(caller.create());
        QVERIFY2(object, qPrintable(caller.errorString()));
        QCOMPARE(object->property("before").toInt(), 0);
        QCOMPARE(presenter.messagesModel()->stringList(),
                 QStringList{QString::fromUtf8("Starting loading of /tmp/f\u00fcr.bit")});
        // Constant, so bindings on it raise no "non-NOTIFYable" warnings.
        const QMetaObject* meta = presenter.metaObject();
        QVERIFY(meta->property(meta->indexOfProperty("messagesModel")).isConstant());
    }

    void qmlCannotCreateAPresenter()
    {
        NotificationPresenter presenter; // its constructor registers the type
        QQmlEngine engine;
        QQmlComponent creator(&engine);
        creator.setData("import LoaderGUI 1.0\nNotificationPresenter {}\n", QUrl("qrc:/creator.qml"));
        QVERIFY(creator.isError());
        QCOMPARE(creator.errors().size(), 1);
        QCOMPARE(creator.errors().first().description(), QString("NotificationPresenter"));
    }
};

QTEST_GUILESS_MAIN(PresenterQmlTest)
#include "PresenterQmlTest.moc"
