#include "gui/NotificationPresenter.h"
#include "base/ProgressReporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
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

QStringList rows(NotificationPresenter& presenter) { return presenter.messagesModel()->stringList(); }

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

    // On the GUI thread every report is one row at once, text unchanged.
    void guiThreadReportsAreRowsAsTheyCame()
    {
        NotificationPresenter presenter;
        presenter.addMessage("Initializing loader...");
        report("Program...NG\n", ProgressReporter::Error);
        report("");
        report("first line\nsecond line\n");
        report(std::string("a\0b", 3));
        report("\rProgress: 12.5%");
        report("Gr\xC3\xBC\xC3\x9F" "e");
        QCOMPARE(rows(presenter), (QStringList{"Initializing loader...", "Program...NG\n", "", "first line\nsecond line\n",
                                               QString::fromUtf8("a\0b", 3), "\rProgress: 12.5%",
                                               QString::fromUtf8("Gr\xC3\xBC\xC3\x9F" "e")}));
        QCOMPARE(rows(presenter).at(4).size(), 3);

        // A stray byte, a truncated sequence, one cut at the very end; the
        // const char* overload decodes alike.
        report("ok\xFF\xC3(end");
        report("\xE2\x82");
        presenter.addMessage("\x80");
        const QStringList bad = rows(presenter).mid(7);
        QCOMPARE(bad.size(), 3);
        QVERIFY(bad[0].startsWith("ok") && bad[0].endsWith("(end"));
        for (const QString& row : bad)
            QVERIFY(row.contains(QChar::ReplacementCharacter));
    }

    // The view's rows: progress runs folded into their latest, the closing
    // line end and a progress line's carriage return not shown, Error marked,
    // also for a report that crossed from another thread. The log keeps all.
    void logViewFoldsProgressAndMarksErrors()
    {
        NotificationPresenter presenter;
        report("Erasing...\n");
        report("\rProgress: 10.0%");
        report("\rProgress: 20.0%");
        report("\rProgress: 100.0%\n");
        report("Erase...NG\n", ProgressReporter::Error);
        std::thread([] { report("two\nlines\n", ProgressReporter::Error); }).join();
        QCoreApplication::sendPostedEvents();
        presenter.addMessage("\rProgress: 5.0%");
        QCOMPARE(rows(presenter).size(), 7);

        QAbstractItemModel* view = presenter.logView();
        const QHash<int, QByteArray> roles = view->roleNames();
        const int error = roles.key("error");
        const int hidden = roles.key("hidden");
        QStringList shown;
        QList<bool> errors;
        QList<int> folded;
        for (int row = 0; row < view->rowCount(); ++row) {
            const QModelIndex index = view->index(row, 0);
            shown << index.data(Qt::DisplayRole).toString();
            errors << index.data(error).toBool();
            folded << index.data(hidden).toInt();
        }
        QCOMPARE(shown, (QStringList{"Erasing...", "Progress: 100.0%", "Erase...NG", "two\nlines", "Progress: 5.0%"}));
        QCOMPARE(errors, (QList<bool>{false, false, true, true, false}));
        QCOMPARE(folded, (QList<int>{0, 2, 0, 0, 0}));
    }

    // The saved log: the header, the time of saving, then each row stamped
    // when it was reported (not when it arrived or was saved), continuation
    // lines indented, no control characters; then a row says where it went.
    void savedLogIsStampedAtReportTime()
    {
        QDateTime clock(QDate(2031, 4, 5), QTime(6, 7, 8, 9), Qt::OffsetFromUTC, 3600);
        std::mutex guard; // the worker reads the clock
        NotificationPresenter presenter(nullptr, [&] { std::lock_guard<std::mutex> lock(guard); return clock; });
        auto setClock = [&](int seconds) { std::lock_guard<std::mutex> lock(guard); clock = clock.addSecs(seconds); };
        std::thread([] { report("\rProgress: 50.0%"); }).join();
        setClock(60);
        QCoreApplication::sendPostedEvents();
        report(std::string("two\nlines\tand\x1b[0m\0\n", 19), ProgressReporter::Error);
        report("");
        setClock(60);
        QTemporaryDir dir;
        const QString path = dir.filePath("log.txt");
        QCOMPARE(presenter.suggestedLogName(), QString("pravel-fw-loader-log-2031-04-05-060908.txt"));
        QCOMPARE(presenter.saveLog(path, {"Pravel FW Loader 9.9", "Bridge serial: X"}), QString());
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()),
                 QString("Pravel FW Loader 9.9\nBridge serial: X\nSaved: 2031-04-05 06:09:08.009; times are local, UTC+01:00\n\n"
                         "2031-04-05 06:07:08.009 Progress: 50.0%\n"
                         "2031-04-05 06:08:08.009 two\n"
                         "                        lines and[0m\n"
                         "2031-04-05 06:08:08.009 \n"));
        QCOMPARE(rows(presenter).last(), "Log saved to " + QDir::toNativeSeparators(path) + "\n");
        QVERIFY(!presenter.saveLog(dir.filePath("no/such/dir/log.txt")).isEmpty());
    }

    void workerReportsArriveInOrderOnlyThroughTheEventLoop()
    {
        NotificationPresenter presenter;
        std::atomic<QThread*> emittedOn{nullptr};
        connect(&presenter, &NotificationPresenter::messageReported, this,
                [&emittedOn] { emittedOn = QThread::currentThread(); }, Qt::DirectConnection);
        const int count = 10000;
        std::thread worker([] {
            for (int i = 0; i < count; ++i) {
                std::string text = std::to_string(i);
                report(text, i % 2 ? ProgressReporter::Error : ProgressReporter::Info);
                text.assign("overwritten"); // the reporter's text may go at once
            }
        });
        worker.join();
        QVERIFY(emittedOn.load() != nullptr && emittedOn.load() != QThread::currentThread());
        QCOMPARE(presenter.messagesModel()->rowCount(), 0);

        report("from gui"); // overtakes the queued ones
        QCOMPARE(rows(presenter), QStringList{"from gui"});
        QCoreApplication::sendPostedEvents();
        const QStringList got = rows(presenter);
        QCOMPARE(got.size(), count + 1);
        for (int i = 0; i < count; ++i)
            if (got[i + 1] != QString::number(i))
                QFAIL(qPrintable(QString("row %1 holds \"%2\"").arg(i + 1).arg(got[i + 1])));
    }

    // Destroyed while a worker reports: deliveries queued and in flight never
    // reach it, and later reports reach nobody, not even the next presenter.
    void nothingReachesADestroyedPresenter()
    {
        auto presenter = std::make_unique<NotificationPresenter>();
        std::atomic<bool> stop{false};
        std::atomic<int> made{0};
        // Held around each report and around event processing only: Qt's own
        // event-queue locking is invisible to ThreadSanitizer. The destruction
        // does not take it, so it can meet a report in flight.
        std::mutex handOff;
        std::thread worker([&] {
            for (; !stop; ++made) {
                std::lock_guard<std::mutex> lock(handOff);
                report("\rProgress: 50.0%");
            }
        });
        auto waitForReports = [&made](int count) {
            for (const int target = made + count; made < target;)
                std::this_thread::yield();
        };
        waitForReports(200);
        {
            std::lock_guard<std::mutex> lock(handOff);
            QCoreApplication::processEvents();
        }
        const int delivered = presenter->messagesModel()->rowCount();
        waitForReports(200);
        presenter.reset();
        waitForReports(200);
        stop = true;
        worker.join();
        QCoreApplication::sendPostedEvents();
        QVERIFY(delivered >= 200);

        report("nobody listens");
        std::thread([] { report("nobody listens either"); }).join();
        NotificationPresenter next;
        QCoreApplication::sendPostedEvents();
        QCOMPARE(next.messagesModel()->rowCount(), 0);
    }
};

QTEST_GUILESS_MAIN(NotificationPresenterTest)
#include "NotificationPresenterTest.moc"
