#include "gui/InstrumentChoice.h"

#include "base/HexText.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/ProcessorShared.h"

#include <QVariantMap>

namespace FwLoaderGui {

InstrumentChoice::InstrumentChoice(FWUpdateProcessor& processor)
    : m_processor(processor)
{
}

const InstrumentList::Instrument* InstrumentChoice::chosen() const
{
    if (!m_pick.isEmpty())
        if (const InstrumentList::Instrument* picked = m_list.bySerialNumber(text(m_pick)))
            return picked;
    // Only one: that one, as ever; of several, never silently the first.
    return m_list.size() == 1 ? &m_list.all().front() : nullptr;
}

void InstrumentChoice::show(const InstrumentList& found)
{
    m_list = found;
    QVariantList shown;
    for (const InstrumentList::Instrument& instrument : found.all())
        shown.append(QVariantMap{{QStringLiteral("serial"), fromText(instrument.name())},
                                 {QStringLiteral("location"), fromText(hexText(instrument.location))},
                                 {QStringLiteral("inUse"), instrument.inUse}});
    if (changeTo(m_shown, shown))
        emit m_processor.instrumentsChanged();
}

const InstrumentList::Instrument* InstrumentChoice::relist(TFtdi& ftdi)
{
    // The listing goes into the log at the first refresh and whenever the
    // bus changed, not at every click.
    const TFtdi::Listing listing = ftdi.ListChannels();
    if (!m_listingReported || listing != m_listing) {
        TFtdi::ReportChannels(listing);
        m_listing = listing;
        m_listingReported = true;
    }
    show(InstrumentList(listing.channels, FWUpdateProcessor::portDescB));
    const InstrumentList::Instrument* picked = chosen();
    const bool choiceNeeded = m_list.size() > 1 && !picked;
    if (picked) {
        m_target = *picked;
        m_targetSerial = fromText(picked->serialNumber);
    } else if (choiceNeeded) {
        m_target = {};
        m_targetSerial.clear();
    } // else: none there; what the panels know of the last one stays
    if (changeTo(m_chosenSerial, picked ? fromText(picked->name()) : QString()))
        emit m_processor.chosenSerialChanged();
    if (changeTo(m_choiceNeeded, choiceNeeded))
        emit m_processor.choiceNeededChanged();
    return picked;
}

} // namespace FwLoaderGui
