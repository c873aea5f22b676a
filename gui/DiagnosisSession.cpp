#include "gui/DiagnosisSession.h"

#include "base/ProgressReporter.h"
#include "device/Diagnosis.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/ProcessorShared.h"

#include <QSaveFile>
#include <QVariantMap>

namespace FwLoaderGui {

namespace {

QString verdictOf(const DiagnosisStep& step)
{
    return step.ok() ? QStringLiteral("ok") : QStringLiteral("finding");
}

QVariantMap row(int number, const QString& name, const QString& verdict)
{
    return {{QStringLiteral("number"), number}, {QStringLiteral("name"), name}, {QStringLiteral("verdict"), verdict},
            {QStringLiteral("line"), QString()},  {QStringLiteral("cause"), QString()},
            {QStringLiteral("action"), QString()}};
}

} // namespace

DiagnosisSession::DiagnosisSession(FWUpdateProcessor& processor)
    : m_processor(processor)
{
}

void DiagnosisSession::start()
{
    if (!m_processor.claimWorker())
        return;
    m_steps.clear();
    int number = 0;
    for (const DiagnosisReport::StepName& step : Diagnosis::steps())
        m_steps.append(row(++number, QString::fromUtf8(step.name), QStringLiteral("pending")));
    m_summary.clear();
    emit m_processor.diagnosisStepsChanged();
    m_isDiagnosing = true;
    emit m_processor.isDiagnosingChanged();
    m_progressBefore[0] = m_processor.stageProgress();
    m_progressBefore[1] = m_processor.runProgress();
    m_processor.showProgress(QStringLiteral("Diagnosing"), 0, 0);
    // The controls lock as for a run.
    m_processor.setProgramming(true);
    ProgressReporter::info("Diagnosing the bridge, the wiring and the flash...\n");
    m_processor.startWorker([this] { run(); });
}

void DiagnosisSession::run()
{
    auto report = std::make_shared<DiagnosisReport>();
    try {
        // The diagnosis opens the port itself.
        m_processor.closePort();
        Diagnosis diagnosis(*m_processor.ftdi, *m_processor.rom, FWUpdateProcessor::portDescB, kProgramName);
        *report = diagnosis.run([this](const DiagnosisStep& step) {
            if (step.ok())
                ProgressReporter::info(step.text() + "\n");
            else
                ProgressReporter::error(step.text() + "\n");
            QMetaObject::invokeMethod(&m_processor, [this, step] { showStep(step); }, Qt::QueuedConnection);
        });
        ProgressReporter::info(report->summary() + "\n");
    } catch (...) {
        // Out of memory while composing a message: what ran so far stands.
    }
    QMetaObject::invokeMethod(&m_processor, [this, report] { finish(report); }, Qt::QueuedConnection);
    m_processor.releaseWorker();
}

void DiagnosisSession::showStep(const DiagnosisStep& step)
{
    const int index = step.number - 1;
    if (index < 0 || index >= m_steps.size())
        return;
    QVariantMap shown = row(step.number, QString::fromStdString(step.name), verdictOf(step));
    shown[QStringLiteral("line")] = QString::fromStdString(step.line);
    shown[QStringLiteral("cause")] = QString::fromStdString(step.cause);
    shown[QStringLiteral("action")] = QString::fromStdString(step.action);
    m_steps[index] = shown;
    emit m_processor.diagnosisStepsChanged();
    const double done = static_cast<double>(step.number) / m_steps.size();
    m_processor.showProgress(QStringLiteral("Diagnosing: ") + shown[QStringLiteral("name")].toString(), done, done);
}

void DiagnosisSession::finish(std::shared_ptr<const DiagnosisReport> report)
{
    for (QVariant& step : m_steps) {
        QVariantMap shown = step.toMap();
        if (shown[QStringLiteral("verdict")] == QStringLiteral("pending"))
            shown[QStringLiteral("verdict")] = QStringLiteral("not run");
        step = shown;
    }
    m_report = std::move(report);
    m_summary = QString::fromStdString(m_report->summary());
    emit m_processor.diagnosisStepsChanged();
    m_processor.showProgress(QString(), m_progressBefore[0], m_progressBefore[1]);
    // The worker is past its last report: once it has ended, the port is
    // looked for again, as the window found it at start.
    m_processor.waitForProgramming();
    m_isDiagnosing = false;
    emit m_processor.isDiagnosingChanged();
    m_processor.refreshDevices();
}

QString DiagnosisSession::save(const QString& path)
{
    if (!m_report)
        return QStringLiteral("no diagnosis has run yet");
    QSaveFile file(path);
    const QByteArray json = QByteArray::fromStdString(m_report->json());
    if (path.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit())
        return file.errorString().isEmpty() ? QStringLiteral("it cannot be written") : file.errorString();
    ProgressReporter::info("Diagnosis report saved to " + text(path) + "\n");
    return QString();
}

} // namespace FwLoaderGui
