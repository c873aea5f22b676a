#pragma once

#include "device/InstrumentList.h"
#include "device/TFtdi.h"

#include <QString>
#include <QVariantList>

namespace FwLoaderGui {

class FWUpdateProcessor;

// The instruments attached, as Refresh Device last listed them, and the one
// the window works on: the one the user picked, or the only one attached.
// Tells the processor's properties when any of it changes. GUI thread only.
class InstrumentChoice
{
public:
    explicit InstrumentChoice(FWUpdateProcessor& processor);

    void pick(const QString& serial) { m_pick = serial; }
    // Lists the bridges again (into the log the first time and whenever the
    // bus changed) and settles on the one to work on: that one, or null
    // when none is attached or several are and none is picked.
    const InstrumentList::Instrument* relist(TFtdi& ftdi);

    const InstrumentList& list() const { return m_list; }
    // The last one settled on, kept while none is attached.
    const InstrumentList::Instrument& target() const { return m_target; }
    // Whose state the panels show.
    QString targetSerial() const { return m_targetSerial; }
    QVariantList shown() const { return m_shown; }
    QString chosenSerial() const { return m_chosenSerial; }
    bool choiceNeeded() const { return m_choiceNeeded; }

private:
    // The picked one, else the only one.
    const InstrumentList::Instrument* chosen() const;
    void show(const InstrumentList& found);

    FWUpdateProcessor& m_processor;
    TFtdi::Listing m_listing; // the channels as last put into the log
    bool m_listingReported = false;
    InstrumentList m_list;    // as last listed
    QString m_pick;           // the user's choice
    QString m_chosenSerial;
    QString m_targetSerial;
    InstrumentList::Instrument m_target;
    QVariantList m_shown;
    bool m_choiceNeeded = false;
};

} // namespace FwLoaderGui
