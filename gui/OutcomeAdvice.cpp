#include "gui/OutcomeAdvice.h"

namespace FwLoaderGui {

const QString OutcomeAdvice::willNotStart = QStringLiteral("The instrument will not start until a run completes.");

namespace {

using Stage = FirmwareRun::Stage;

const QString kRefresh = QStringLiteral("Click Refresh Device.");
const QString kRunAgain = QStringLiteral("Click Load Firmware to run again.");
const QString kPlugBack = QStringLiteral("Plug the USB cable back in and check that the instrument is switched on.");

// The recovery procedure for a flash the FPGA keeps from answering, as
// steps in the window's terms.
QStringList recoverySteps()
{
    return {QStringLiteral("Ground pin 13 of the SPI connector (EXT_RESET) to the chassis."), kRefresh,
            QStringLiteral("Check that the instrument panel now shows a flash part."),
            QStringLiteral("Click Load Firmware."),
            QStringLiteral("After programming, disconnect the line to EXT_RESET and power-cycle the instrument.")};
}

// "while erasing pravel.srec", for the stage a run failed in.
QString during(Stage stage, const QString& file)
{
    switch (stage) {
    case Stage::Erase:
        return QStringLiteral("while erasing %1").arg(file);
    case Stage::Program:
        return QStringLiteral("while programming %1").arg(file);
    case Stage::Verify:
        return QStringLiteral("while reading back %1").arg(file);
    case Stage::Load:
    case Stage::None:
        break;
    }
    return QStringLiteral("before anything was written");
}

OutcomeAdvice make(OutcomeAdvice::Kind kind, const QString& title, const QString& text, const QStringList& steps)
{
    OutcomeAdvice advice;
    advice.kind = kind;
    advice.title = title;
    advice.text = text;
    advice.steps = steps;
    return advice;
}

// What went wrong in a failed run, in one sentence.
QString cause(const OutcomeAdvice::Run& facts)
{
    const FirmwareRun::Outcome& outcome = facts.outcome;
    const QString& file = facts.failedFile;
    if (facts.refused)
        return QStringLiteral("No instrument was detected, or no file was chosen.");
    if (outcome.stopped)
        return QStringLiteral("The run was stopped on request.");
    switch (outcome.failedStage) {
    case Stage::Load:
        return facts.fileProblem.isEmpty() ? QStringLiteral("%1 could not be read.").arg(file) : facts.fileProblem;
    case Stage::Erase:
        return QStringLiteral("Erasing %1 failed.").arg(file);
    case Stage::Program:
        return QStringLiteral("Programming %1 failed.").arg(file);
    case Stage::Verify:
        if (!outcome.verify.readOk)
            return QStringLiteral("%1 could not be read back from the flash.").arg(file);
        if (!outcome.verify.firstMismatches.empty())
            return QStringLiteral("The flash does not hold what was written: %1 differs from it, first at flash "
                                  "address 0x%2.")
                .arg(file)
                .arg(QString::number(static_cast<qulonglong>(facts.failedOffset) + outcome.verify.firstMismatches.front(),
                                     16));
        return QStringLiteral("The flash does not hold what was written to it.");
    case Stage::None:
        break;
    }
    return QStringLiteral("The run failed.");
}

} // namespace

OutcomeAdvice OutcomeAdvice::forDetection(const Detection& facts)
{
    const QString reminder = facts.incomplete ? QLatin1Char(' ') + willNotStart : QString();
    if (!facts.listed)
        return make(Kind::NoBridge, QStringLiteral("No instrument found"),
                    QStringLiteral("The loader finds no instrument bridge (USB <-> Serial Converter B) on USB.") +
                        reminder,
                    {QStringLiteral("Connect the instrument's programming cable to this PC."),
                     QStringLiteral("Switch the instrument on."), kRefresh});
    if (facts.flashBusy)
        return make(Kind::FlashBusy, QStringLiteral("The flash is still busy"),
                    QStringLiteral("The flash is still finishing what an interrupted run started, and did not answer "
                                   "in time.") +
                        reminder,
                    {QStringLiteral("Keep the instrument connected and switched on."),
                     QStringLiteral("Wait a minute, then click Refresh Device."),
                     QStringLiteral("If it stays busy, power-cycle the instrument and click Refresh Device.")});
    if (facts.linkLost || (facts.opened && facts.identificationByte < 0))
        return make(Kind::BridgeLost, QStringLiteral("The USB connection to the instrument was lost"),
                    QStringLiteral("The bridge stopped answering while the loader looked for the flash.") + reminder,
                    {kPlugBack, kRefresh});
    if (!facts.opened)
        return make(Kind::BridgeLost, QStringLiteral("The instrument's USB bridge could not be opened"),
                    QStringLiteral("The bridge is connected, but it could not be opened. Another program may be "
                                   "using it.") +
                        reminder,
                    {QStringLiteral("Close any other program that uses the bridge."),
                     QStringLiteral("Unplug the USB cable and plug it back in."), kRefresh});
    if (!facts.identified) {
        const QString answer =
            facts.identificationByte == 0xFF
                ? QStringLiteral("The bridge answers, but the flash behind it reads as all ones (ID 0xff): the FPGA "
                                 "may be holding its lines.")
                : QStringLiteral("The flash answers with ID 0x%1, a part this loader does not support.")
                      .arg(facts.identificationByte, 0, 16);
        return make(Kind::FlashNotIdentified, QStringLiteral("The configuration flash does not identify itself"),
                    answer + reminder + QStringLiteral(" To recover the instrument:"), recoverySteps());
    }
    if (facts.incomplete)
        return make(Kind::Incomplete, QStringLiteral("The last run did not complete"), willNotStart, {kRunAgain});
    return {};
}

OutcomeAdvice OutcomeAdvice::forRun(const Run& facts)
{
    if (facts.outcome.ok)
        return make(Kind::Success, QStringLiteral("Programming complete"),
                    QStringLiteral("%1 was written%2.")
                        .arg(facts.written, facts.outcome.verify.readOk ? QStringLiteral(" and read back") : QString()),
                    {QStringLiteral("Power-cycle the instrument (switch it off and on again) so that it starts with "
                                    "the new firmware.")});

    const QString state = facts.incomplete ? willNotStart : QStringLiteral("Nothing was changed: the instrument starts as before.");
    if (facts.linkLost)
        return make(Kind::BridgeLost, QStringLiteral("The USB connection to the instrument was lost"),
                    QStringLiteral("The bridge stopped answering %1. %2")
                        .arg(during(facts.outcome.failedStage, facts.failedFile), state),
                    {kPlugBack, kRefresh, kRunAgain});
    if (facts.incomplete)
        return make(Kind::Incomplete, QStringLiteral("Programming failed: the instrument will not start"),
                    cause(facts) + QLatin1Char(' ') + willNotStart,
                    {QStringLiteral("Keep the instrument connected and switched on."), kRefresh, kRunAgain,
                     QStringLiteral("If it fails again, save the log (Save Log...) for support.")});

    QStringList steps;
    if (facts.refused)
        steps = QStringList{kRefresh, QStringLiteral("Choose the firmware, then click Load Firmware.")};
    else if (facts.outcome.failedStage == Stage::Load)
        steps = QStringList{QStringLiteral("Check that %1 is there and readable.").arg(facts.failedFile),
                 QStringLiteral("Click Load Firmware.")};
    else if (facts.outcome.stopped)
        steps = QStringList{kRunAgain};
    else
        steps = QStringList{QStringLiteral("Check the USB cable and that the instrument is switched on."), kRefresh, kRunAgain};
    return make(Kind::NothingChanged, QStringLiteral("Programming failed: nothing was changed"),
                cause(facts) + QLatin1Char(' ') + state, steps);
}

OutcomeAdvice OutcomeAdvice::forBatch(const Batch& facts)
{
    // "A", "A and B", "A, B and C".
    const auto listed = [](QStringList names) {
        const QString last = names.isEmpty() ? QString() : names.takeLast();
        return names.isEmpty() ? last : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    };
    const int total = static_cast<int>(facts.succeeded.size() + facts.failures.size());
    if (facts.failures.isEmpty())
        return make(Kind::Success, QStringLiteral("Programming complete on %1 instruments").arg(total),
                    QStringLiteral("%1 was written and read back into %2.").arg(facts.written, listed(facts.succeeded)),
                    {QStringLiteral("Power-cycle each instrument (switch it off and on again) so that it starts with "
                                    "the new firmware.")});
    QString text = facts.failures.join(QLatin1Char(' '));
    QStringList steps;
    if (!facts.succeeded.isEmpty()) {
        text += QStringLiteral(" %1 was written into %2.").arg(facts.written, listed(facts.succeeded));
        steps << QStringLiteral("Power-cycle the instruments that were programmed.");
    }
    steps << QStringLiteral("Choose a failed instrument by its serial number and check its connection.") << kRefresh
          << QStringLiteral("Click Load Firmware to run it again.");
    return make(facts.incomplete ? Kind::Incomplete : Kind::NothingChanged,
                QStringLiteral("Programming failed on %1 of %2 instruments").arg(facts.failures.size()).arg(total), text,
                steps);
}

QString OutcomeAdvice::kindName(Kind kind)
{
    switch (kind) {
    case Kind::None:
        break;
    case Kind::Success:
        return QStringLiteral("success");
    case Kind::NothingChanged:
        return QStringLiteral("nothingChanged");
    case Kind::Incomplete:
        return QStringLiteral("incomplete");
    case Kind::FlashNotIdentified:
        return QStringLiteral("flashNotIdentified");
    case Kind::FlashBusy:
        return QStringLiteral("flashBusy");
    case Kind::BridgeLost:
        return QStringLiteral("bridgeLost");
    case Kind::NoBridge:
        return QStringLiteral("noBridge");
    }
    return QString();
}

} // namespace FwLoaderGui
