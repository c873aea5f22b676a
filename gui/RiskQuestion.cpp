#include "gui/RiskQuestion.h"

#include "gui/FWUpdateProcessor.h"
#include "gui/ProcessorShared.h"

#include <chrono>

namespace FwLoaderGui {

RiskQuestion::RiskQuestion(FWUpdateProcessor& processor, const std::atomic<bool>& stopRequest)
    : m_processor(processor)
    , m_stopRequest(stopRequest)
{
}

void RiskQuestion::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answer = Answer::None;
}

void RiskQuestion::wake()
{
    { // the run may be waiting for an answer: it checks the request under the lock
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    m_answered.notify_all();
}

void RiskQuestion::answer(bool write)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A "yes" answers only the question asked now, never one to come.
        if (write && !m_asking)
            return;
        m_answer = write ? Answer::Write : Answer::Decline;
    }
    m_answered.notify_all();
    show(QString());
}

void RiskQuestion::decline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answer = Answer::Decline;
    }
    m_answered.notify_all();
}

void RiskQuestion::show(const QString& text)
{
    if (changeTo(m_text, text))
        emit m_processor.questionChanged();
}

std::string RiskQuestion::ask(const std::string& path, const std::string& risk)
{
    constexpr int minutes = FWUpdateProcessor::questionMinutes;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_answer == Answer::None && !m_stopRequest.load()) {
        m_asking = true;
        // The text is made on the GUI thread: a string shared with this
        // thread would be released here while the window still replaces it.
        QMetaObject::invokeMethod(&m_processor, [this, risk] { show(QString::fromStdString(risk)); }, Qt::QueuedConnection);
        m_answered.wait_for(lock, std::chrono::minutes(minutes),
                            [this] { return m_answer != Answer::None || m_stopRequest.load(); });
        m_asking = false;
        QMetaObject::invokeMethod(&m_processor, [this] { show(QString()); }, Qt::QueuedConnection);
    }
    const std::string refused = "Nothing was written: " + path;
    if (m_answer == Answer::Write)
        return {};
    if (m_answer == Answer::Decline)
        return refused + " was not confirmed\n";
    if (m_stopRequest.load())
        return refused + ": stopped on request\n";
    return refused + " was not confirmed within " + std::to_string(minutes) + " minutes\n";
}

} // namespace FwLoaderGui
