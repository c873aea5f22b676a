// pravel-fw-loader run as a process: the command line, the choice of driver,
// one instance at a time, and a start after a copy that was killed.

#include "app/LocalInstanceGuard.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>

namespace {

const QString title = QStringLiteral("Pravel FW Loader");

struct Result
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

class Loader
{
public:
    explicit Loader(const QString& runtimeDir, const QMap<QString, QString>& extra = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtimeDir);
        env.insert("PRAVEL_DEVICE", "emulated");
        for (auto it = extra.begin(); it != extra.end(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
    }

    ~Loader()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void start(const QStringList& arguments = {}) { process.start(PRAVEL_LOADER_EXE, arguments); }

    // Waits with the event loop running, so an in-process guard can answer.
    Result finish(int timeoutMs = 15000)
    {
        if (process.state() != QProcess::NotRunning) {
            QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            if (!finished.wait(timeoutMs))
                return {};
        }
        return {process.exitCode(), process.exitStatus(), process.readAllStandardOutput(),
                process.readAllStandardError()};
    }

    Result run(const QStringList& arguments = {})
    {
        start(arguments);
        return finish();
    }

    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    bool running() const { return process.state() == QProcess::Running; }

private:
    QProcess process;
};

// Which socket file is there: inode and change time (an inode number can be
// reused at once); empty when there is none.
QByteArray socketIdentity(const QString& path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QByteArray::number(qulonglong(info.st_ino)) + ':' + QByteArray::number(qlonglong(info.st_ctim.tv_sec)) +
           ':' + QByteArray::number(qlonglong(info.st_ctim.tv_nsec));
}

// Waits until a starting copy holds the lock (it creates its socket only
// then; `stale` is the inode of a dead copy's socket), then makes second
// starts until one reports the running copy's window brought forward.
bool waitForRaisableWindow(const QString& runtimeDir, const QByteArray& stale = {})
{
    const QString socket = runtimeDir + "/PravelAppMutex.socket";
    auto fresh = [&] { return !socketIdentity(socket).isEmpty() && socketIdentity(socket) != stale; };
    for (int wait = 0; wait < 200 && !fresh(); ++wait)
        QTest::qWait(50);
    if (!fresh())
        return false;
    for (int attempt = 0; attempt < 40; ++attempt) {
        const Result second = Loader(runtimeDir).run();
        if (second.status != QProcess::NormalExit || second.exitCode != 0)
            return false;
        if (second.out.contains("its window was brought forward"))
            return true;
        QTest::qWait(100);
    }
    return false;
}

} // namespace

class ProcessTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
        qRegisterMetaType<QWindow*>("QWindow*");
    }
    void commandLineAndDriverFailures();
    void secondStartWhileTheFirstRunsEndsAtOnce();
    void secondStartBeforeTheWindowExistsRaisesNothing();
    void startAfterAKilledCopyRunsNormally();
};

void ProcessTest::commandLineAndDriverFailures()
{
    QTemporaryDir runtime;

    const Result help = Loader(runtime.path()).run({"--help"});
    QCOMPARE(help.status, QProcess::NormalExit);
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains("Usage:"));
    QVERIFY(help.out.contains("--help"));

    const Result unknown = Loader(runtime.path()).run({"--frobnicate"});
    QCOMPARE(unknown.status, QProcess::NormalExit);
    QCOMPARE(unknown.exitCode, 1);
    QVERIFY(unknown.err.contains("frobnicate"));

    // Neither got as far as the instance lock.
    QVERIFY(QDir(runtime.path()).isEmpty());

    // A driver name nobody knows stops the loader before any window.
    const Result badDriver = Loader(runtime.path(), {{"PRAVEL_DEVICE", "ft9000"}}).run();
    QCOMPARE(badDriver.status, QProcess::NormalExit);
    QCOMPARE(badDriver.exitCode, 1);
    QVERIFY(badDriver.err.contains("accepted values"));
}

void ProcessTest::secondStartWhileTheFirstRunsEndsAtOnce()
{
    QTemporaryDir runtime;
    Loader first(runtime.path());
    first.start();
    QVERIFY(waitForRaisableWindow(runtime.path()));
    QVERIFY(first.running());

    // A terminating signal ends it through the normal teardown.
    first.signal(SIGTERM);
    const Result end = first.finish();
    QCOMPARE(end.status, QProcess::NormalExit);
    QCOMPARE(end.exitCode, 0);
    QVERIFY(!QFile::exists(runtime.path() + "/PravelAppMutex.socket"));
}

void ProcessTest::secondStartBeforeTheWindowExistsRaisesNothing()
{
    QTemporaryDir runtime;
    // This process holds the lock but has no window of that title yet.
    LocalInstanceGuard guard(QStringLiteral("PravelAppMutex"), title, runtime.path());
    QVERIFY(guard.acquire());
    QSignalSpy asked(&guard, &LocalInstanceGuard::raiseRequested);

    const Result second = Loader(runtime.path()).run();
    QCOMPARE(second.status, QProcess::NormalExit);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(second.out.contains("already running"));
    QVERIFY(!second.out.contains("brought forward"));
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.first().first().value<QWindow*>(), static_cast<QWindow*>(nullptr));
}

void ProcessTest::startAfterAKilledCopyRunsNormally()
{
    QTemporaryDir runtime;
    {
        Loader crashed(runtime.path());
        crashed.start();
        QVERIFY(waitForRaisableWindow(runtime.path()));
        crashed.signal(SIGKILL);
        const Result killed = crashed.finish();
        QCOMPARE(killed.status, QProcess::CrashExit);
    }
    // The dead copy's files are still there; only its lock went with it.
    QVERIFY(QFile::exists(runtime.path() + "/PravelAppMutex.lock"));
    const QByteArray stale = socketIdentity(runtime.path() + "/PravelAppMutex.socket");
    QVERIFY(!stale.isEmpty());

    Loader next(runtime.path());
    next.start();
    QVERIFY(waitForRaisableWindow(runtime.path(), stale));
    QVERIFY(next.running());
    next.signal(SIGTERM);
    QCOMPARE(next.finish().exitCode, 0);

}

QTEST_MAIN(ProcessTest)
#include "ProcessTest.moc"
