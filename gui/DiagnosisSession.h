#pragma once

#include <QString>
#include <QVariantList>

#include <memory>

class DiagnosisReport;
struct DiagnosisStep;

namespace FwLoaderGui {

class FWUpdateProcessor;

// The diagnosis the window runs: the bridge, the wiring and the flash
// checked step by step on the processor's worker thread, as a run goes, and
// shown as a checklist on the GUI thread as the steps end; its report kept
// for saving. Writes nothing to the flash.
class DiagnosisSession
{
public:
    explicit DiagnosisSession(FWUpdateProcessor& processor);

    // One map per step with "number", "name", "verdict" ("pending", "ok",
    // "finding", "not run"), "line", "cause" and "action".
    QVariantList steps() const { return m_steps; }
    // The closing line; empty before the first diagnosis ends.
    QString summary() const { return m_summary; }
    bool isDiagnosing() const { return m_isDiagnosing; }

    // GUI thread: starts it, unless a run is pending or active (saying so).
    void start();
    // The last report (JSON) into `path`: empty, or why not.
    QString save(const QString& path);

private:
    // The worker thread's part.
    void run();
    // GUI thread only.
    void showStep(const DiagnosisStep& step);
    void finish(std::shared_ptr<const DiagnosisReport> report);

    FWUpdateProcessor& m_processor;
    QVariantList m_steps;
    QString m_summary;
    bool m_isDiagnosing = false;
    std::shared_ptr<const DiagnosisReport> m_report;
    double m_progressBefore[2] = {0, 0}; // stage, run: shown again afterwards
};

} // namespace FwLoaderGui
