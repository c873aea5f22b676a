// pravel-fw-loader run as a process: the command line, the choice of driver,
// and a start after a copy that was killed.

#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

struct Loader : QProcess
{
    // `headless`: as on a machine with no display at all.
    explicit Loader(const QString& runtimeDir, const QString& device = "emulated", bool headless = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtimeDir);
        env.insert("PRAVEL_DEVICE", device);
        if (headless)
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                env.remove(name);
        setProcessEnvironment(env);
    }
    ~Loader() override
    {
        kill();
        waitForFinished(5000);
    }
    // The exit code of a normal exit within the time, else -1.
    int run(const QStringList& arguments = {})
    {
        start(PRAVEL_LOADER_EXE, arguments);
        return finish();
    }
    int finish() { return waitForFinished(15000) && exitStatus() == NormalExit ? exitCode() : -1; }
    void signal(int number) { ::kill(pid_t(processId()), number); }
};

// Asks the copy holding the instance lock to raise its window, as a second
// start does, until it answers that it did. A dead copy's socket refuses.
bool windowAnswers(const QString& runtimeDir)
{
    for (int attempt = 0; attempt < 200; ++attempt, QTest::qWait(50)) {
        QLocalSocket socket;
        socket.connectToServer(runtimeDir + "/PravelAppMutex.socket");
        if (!socket.waitForConnected(500))
            continue;
        socket.write("raise\n");
        while (!socket.canReadLine() && socket.waitForReadyRead(2000)) {
        }
        if (socket.readLine() == "raised\n")
            return true;
    }
    return false;
}

} // namespace

class ProcessTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLineAndDriverFailures()
    {
        QTemporaryDir runtime;
        // The help and option errors need no display.
        for (bool headless : {false, true}) {
            Loader help(runtime.path(), "emulated", headless);
            QCOMPARE(help.run({"--help"}), 0);
            const QByteArray usage = help.readAllStandardOutput();
            QVERIFY(usage.contains("Usage:") && usage.contains("--help") && !usage.contains("platform"));

            Loader unknown(runtime.path(), "emulated", headless);
            QCOMPARE(unknown.run({"--frobnicate"}), 1);
            QVERIFY(unknown.readAllStandardError().contains("frobnicate"));
        }
        // Without one the window says why it cannot open, and what else is wrong.
        Loader noDisplay(runtime.path(), "emulated", true);
        QCOMPARE(noDisplay.run(), 1);
        QVERIFY(noDisplay.readAllStandardError().contains("no display"));
        Loader noDisplayBadDriver(runtime.path(), "ft9000", true);
        QCOMPARE(noDisplayBadDriver.run(), 1);
        QVERIFY(noDisplayBadDriver.readAllStandardError().contains("accepted values"));
        QVERIFY(QDir(runtime.path()).isEmpty()); // none got as far as the instance lock

        // Qt's own options still reach the GUI application.
        Loader platform(runtime.path());
        QCOMPARE(platform.run({"-platform", "offscreen", "--help"}), 0);

        // A driver name nobody knows stops the loader before any window.
        Loader badDriver(runtime.path(), "ft9000");
        QCOMPARE(badDriver.run(), 1);
        QVERIFY(badDriver.readAllStandardError().contains("accepted values"));
    }

    // The kernel drops a killed copy's lock; its socket file stays behind and
    // must not stop the next start, which later ends cleanly on SIGTERM.
    void startAfterAKilledCopyRunsNormally()
    {
        QTemporaryDir runtime;
        const QString socket = runtime.path() + "/PravelAppMutex.socket";
        {
            Loader crashed(runtime.path());
            crashed.start(PRAVEL_LOADER_EXE, QStringList());
            QVERIFY(windowAnswers(runtime.path()));
            crashed.signal(SIGKILL);
            QVERIFY(crashed.waitForFinished(5000));
            QCOMPARE(crashed.exitStatus(), QProcess::CrashExit);
        }
        QVERIFY(QFile::exists(runtime.path() + "/PravelAppMutex.lock") && QFile::exists(socket));

        Loader next(runtime.path());
        next.start(PRAVEL_LOADER_EXE, QStringList());
        QVERIFY(windowAnswers(runtime.path()));
        QCOMPARE(next.state(), QProcess::Running);
        next.signal(SIGTERM);
        QCOMPARE(next.finish(), 0);
        QVERIFY(!QFile::exists(socket));
    }
};

QTEST_MAIN(ProcessTest)
#include "ProcessTest.moc"
