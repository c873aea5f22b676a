#pragma once

#include <streambuf>
#include <string>

// A stream buffer in front of another that drops every line beginning with
// "Progress: ": the FPGA loader writes its chunk count straight to standard
// output, and --quiet must silence that too.
class ProgressLineFilter final : public std::streambuf
{
public:
    explicit ProgressLineFilter(std::streambuf* target);
    ~ProgressLineFilter() override;

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    enum class Mode { LineStart, Passing, Dropping };

    std::streambuf* target;
    Mode mode = Mode::LineStart;
    std::string held; // the start of a line that may still turn out to be progress
};
