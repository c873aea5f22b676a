#include "cli/ProgressLineFilter.h"

namespace {

const std::string kProgressPrefix = "Progress: ";

} // namespace

ProgressLineFilter::ProgressLineFilter(std::streambuf* target) : target(target) {}

ProgressLineFilter::~ProgressLineFilter()
{
    // A held fragment that never became a progress line is ordinary text.
    if (mode == Mode::LineStart && !held.empty())
        target->sputn(held.data(), static_cast<std::streamsize>(held.size()));
    target->pubsync();
}

ProgressLineFilter::int_type ProgressLineFilter::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);

    switch (mode) {
    case Mode::LineStart:
        held.push_back(ch);
        if (held == kProgressPrefix) {
            held.clear();
            mode = Mode::Dropping;
        } else if (kProgressPrefix.compare(0, held.size(), held) != 0) {
            target->sputn(held.data(), static_cast<std::streamsize>(held.size()));
            mode = ch == '\n' ? Mode::LineStart : Mode::Passing;
            held.clear();
        }
        break;
    case Mode::Passing:
        if (traits_type::eq_int_type(target->sputc(ch), traits_type::eof()))
            return traits_type::eof();
        if (ch == '\n')
            mode = Mode::LineStart;
        break;
    case Mode::Dropping:
        if (ch == '\n')
            mode = Mode::LineStart;
        break;
    }
    return c;
}

int ProgressLineFilter::sync()
{
    return target->pubsync();
}
