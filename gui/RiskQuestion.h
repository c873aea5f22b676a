#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace FwLoaderGui {

class FWUpdateProcessor;

// The run's question before its first erase (why the bitstream may leave
// the instrument unable to start) and the user's answer. The run asks on
// its own thread and waits; the window shows the text and answers on the
// GUI thread; a stop request ends the wait too.
class RiskQuestion
{
public:
    RiskQuestion(FWUpdateProcessor& processor, const std::atomic<bool>& stopRequest);

    // GUI thread: the question asked now; empty while none is.
    QString text() const { return m_text; }
    // Before a run starts: no answer yet.
    void reset();
    // On the run's thread: asks about `risk` of the file at `path` and waits
    // for the answer, a stop request or the processor's questionMinutes.
    // Empty when the user said to write, else why nothing was written.
    std::string ask(const std::string& path, const std::string& risk);
    // GUI thread: true writes all the same (only while asked); false also
    // refuses a question not asked yet.
    void answer(bool write);
    // answer(false) from any thread, without touching the text.
    void decline();
    // A stop was requested: a run waiting for an answer looks at it.
    void wake();

private:
    void show(const QString& text);

    enum class Answer { None, Write, Decline };

    FWUpdateProcessor& m_processor;
    const std::atomic<bool>& m_stopRequest;
    QString m_text;
    // The answer; None until one comes. Guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_answered;
    Answer m_answer = Answer::None;
    bool m_asking = false;
};

} // namespace FwLoaderGui
