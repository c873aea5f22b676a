#include "gui/NotificationPresenter.h"
#include "gui/ProgressReporter.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using FwLoaderGui::NotificationPresenter;

namespace {

void report(const std::string& text, ProgressReporter::MessageType type = ProgressReporter::Info)
{
    ProgressReporter::getInstance().reportMessage(type, text);
}

QStringList rows(NotificationPresenter& presenter)
{
    return presenter.messagesModel()->stringList();
}

} // namespace

class NotificationPresenterTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        // A test that failed half-way must not leave a callback behind.
        ProgressReporter::getInstance().setReportCallback({});
        QCoreApplication::sendPostedEvents();
    }

    void guiThreadReportsGoStraightInUnchanged()
    {
        NotificationPresenter presenter;
        presenter.addMessage("Initializing loader...");
        report("Erase...OK\n");
        report("Program...NG\n", ProgressReporter::Error);
        report("Program...NG\n", ProgressReporter::Info);
        report("");
        report("first line\nsecond line\n");
        report(std::string("a\0b", 3));
        report("\rProgress: 12.5%");
        report("Gr\xC3\xBC\xC3\x9F" "e");

        // No event loop has run: everything above arrived directly.
        const QStringList expected{"Initializing loader...", "Erase...OK\n", "Program...NG\n",
                                   "Program...NG\n", "", "first line\nsecond line\n",
                                   QString::fromUtf8("a\0b", 3), "\rProgress: 12.5%",
                                   QString::fromUtf8("Gr\xC3\xBC\xC3\x9F" "e")};
        QCOMPARE(rows(presenter), expected);
        QCOMPARE(rows(presenter).at(6).size(), 3);
    }

    void invalidUtf8IsDecodedWithReplacementCharacters()
    {
        NotificationPresenter presenter;
        report("ok\xFF\xC3(end");      // a stray byte and a truncated sequence
        report("\xE2\x82");            // truncated at the very end
        presenter.addMessage("\x80");  // the const char* overload decodes alike

        const QStringList got = rows(presenter);
        QCOMPARE(got.size(), 3);
        QVERIFY(got[0].startsWith("ok"));
        QVERIFY(got[0].endsWith("(end"));
        QVERIFY(got[0].contains(QChar::ReplacementCharacter));
        QVERIFY(got[1].contains(QChar::ReplacementCharacter));
        QVERIFY(got[2].contains(QChar::ReplacementCharacter));
    }

    void workerReportsArriveInOrderOnlyThroughTheEventLoop()
    {
        NotificationPresenter presenter;
        QSignalSpy spy(&presenter, &NotificationPresenter::messageReported);
        QThread* emittedOn = nullptr;
        connect(&presenter, &NotificationPresenter::messageReported, this,
                [&emittedOn] { emittedOn = QThread::currentThread(); }, Qt::DirectConnection);

        std::thread worker([] {
            for (int i = 0; i < 3; ++i) {
                std::string text = "step " + std::to_string(i) + "\n";
                report(text);
                text.assign("overwritten"); // the reporter's text may go at once
            }
        });
        worker.join();

        QCOMPARE(spy.count(), 3);
        QVERIFY(emittedOn != nullptr && emittedOn != QThread::currentThread());
        QCOMPARE(presenter.messagesModel()->rowCount(), 0);

        // A GUI-thread report overtakes the queued ones.
        report("from gui");
        QCOMPARE(rows(presenter), QStringList{"from gui"});

        QCoreApplication::sendPostedEvents();
        QCOMPARE(rows(presenter), (QStringList{"from gui", "step 0\n", "step 1\n", "step 2\n"}));
    }

    void tenThousandReportsGiveTenThousandRows()
    {
        NotificationPresenter presenter;
        const int count = 10000;
        std::thread worker([] {
            for (int i = 0; i < count; ++i)
                report(std::to_string(i), i % 2 ? ProgressReporter::Error : ProgressReporter::Info);
        });
        worker.join();
        QCoreApplication::sendPostedEvents();

        const QStringList got = rows(presenter);
        QCOMPARE(got.size(), count);
        for (int i = 0; i < count; ++i) {
            if (got[i] != QString::number(i))
                QFAIL(qPrintable(QString("row %1 holds \"%2\"").arg(i).arg(got[i])));
        }
    }

    void reportsWithoutAPresenterAreDropped()
    {
        report("nobody listens");
        std::thread([] { report("nobody listens either"); }).join();
        QCoreApplication::sendPostedEvents();

        NotificationPresenter presenter;
        QCoreApplication::sendPostedEvents();
        QCOMPARE(presenter.messagesModel()->rowCount(), 0);
    }

    void nothingReachesADestroyedPresenter()
    {
        auto presenter = std::make_unique<NotificationPresenter>();
        std::atomic<bool> stop{false};
        std::atomic<int> made{0};
        // Held around each report and around event processing only: Qt's own
        // event-queue locking is invisible to ThreadSanitizer. The destruction
        // below does not take it, so it can meet a report in flight.
        std::mutex handOff;
        std::thread worker([&] {
            while (!stop.load()) {
                {
                    std::lock_guard<std::mutex> lock(handOff);
                    report("\rProgress: 50.0%");
                }
                made.fetch_add(1);
            }
        });
        auto finish = qScopeGuard([&] {
            stop = true;
            worker.join();
        });
        auto waitForReports = [&made](int count) {
            const int target = made.load() + count;
            while (made.load() < target)
                std::this_thread::yield();
        };

        waitForReports(200);
        {
            std::lock_guard<std::mutex> lock(handOff);
            QCoreApplication::processEvents();
        }
        QVERIFY(presenter->messagesModel()->rowCount() >= 200);

        // Deliveries are both queued and in flight when it goes.
        waitForReports(200);
        presenter.reset();
        waitForReports(200);
        finish.dismiss();
        stop = true;
        worker.join();
        QCoreApplication::sendPostedEvents();

        // The reporter was left with no callback: a report now reaches nobody.
        report("after destruction");
    }
};

QTEST_GUILESS_MAIN(NotificationPresenterTest)
#include "NotificationPresenterTest.moc"
