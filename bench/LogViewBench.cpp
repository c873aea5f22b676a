// How the activity log keeps up: a hundred thousand rows appended at once,
// and the event loop's 16 ms ticks while a worker reports 1,000 rows a second.
// A measurement, not a test: run it by hand (offscreen is fine).

#include "app/LoaderShell.h"
#include "base/ProgressReporter.h"
#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/VirtualClock.h"
#include "gui/NotificationPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    std::string error;
    auto driver = d2xx::EmulatedDriver::create({}, error);
    LoaderShell shell(driver, driver->clock(), QStringLiteral("Pravel FW Loader"));
    shell.load(QUrl());
    auto* window = qobject_cast<QQuickWindow*>(shell.engine().rootObjects().value(0));
    if (!window)
        return 1;
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents();

    // Bulk: the appends, then the first frame that shows them.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 100000; ++i)
        shell.presenter().addMessage(QStringLiteral("row %1\n").arg(i));
    const qint64 appendMs = timer.elapsed();
    for (int i = 0; i < 100000; ++i)
        shell.presenter().addMessage(QStringLiteral("\rProgress: %1%\n").arg(i % 1000 / 10.0, 0, 'f', 1));
    const qint64 appendProgressMs = timer.elapsed() - appendMs;
    bool drawn = false;
    QObject::connect(window, &QQuickWindow::frameSwapped, [&drawn] { drawn = true; });
    window->requestUpdate();
    while (!drawn)
        QCoreApplication::processEvents();
    const qint64 shownMs = timer.elapsed();
    std::printf("100000 rows appended in %lld ms; then 100000 progress rows (shown as one) in %lld ms; "
                "drawn after %lld ms in all\n",
                static_cast<long long>(appendMs), static_cast<long long>(appendProgressMs), static_cast<long long>(shownMs));

    // Live: a worker reports 1,000 rows a second for three seconds.
    std::atomic<bool> stop{false};
    std::thread worker([&stop] {
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; !stop; ++i) {
            ProgressReporter::getInstance().reportMessage(ProgressReporter::Info,
                                                          i % 3 ? "\rProgress: 42.0%" : "Erasing sector\n");
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
        }
    });
    QElapsedTimer tick;
    qint64 worst = 0;
    int ticks = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (ticks++ > 0)
            worst = std::max(worst, tick.elapsed());
        tick.restart();
    });
    tick.start();
    ticker.start(16);
    QEventLoop loop;
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    stop = true;
    worker.join();
    std::printf("1000 rows/s for 3 s: %d ticks of 16 ms, longest gap %lld ms; log holds %d rows\n", ticks,
                static_cast<long long>(worst), shell.presenter().messagesModel()->rowCount());
    return 0;
}
