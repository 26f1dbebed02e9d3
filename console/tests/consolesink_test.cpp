#include "consolesink.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

namespace {

std::shared_ptr<const LogMessage> message(int level, const std::string &text)
{
    return std::make_shared<const LogMessage>(
        text, level, boost::posix_time::time_from_string("2026-12-07 01:12:00.250000"), "f()", "f.cpp", 1);
}

// Captures what the sink writes to standard output and standard error.
class StreamCapture {
public:
    StreamCapture() : out_(std::cout.rdbuf(outText_.rdbuf())), err_(std::cerr.rdbuf(errText_.rdbuf())) {}
    ~StreamCapture()
    {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(err_);
    }
    std::string out() const { return outText_.str(); }
    std::string err() const { return errText_.str(); }

private:
    std::ostringstream outText_, errText_;
    std::streambuf *out_;
    std::streambuf *err_;
};

} // namespace

TEST(ConsoleSink, LineFormatCutsTheTimeToWholeSeconds)
{
    EXPECT_EQ(ConsoleSink::line(*message(Info, "Bridge service started")),
              "[INFO] - 2026-Dec-07 01:12:00: Bridge service started");
    EXPECT_EQ(ConsoleSink::line(*message(17, "odd")), "[] - 2026-Dec-07 01:12:00: odd");
    EXPECT_EQ(ConsoleSink::levelName(Notice), "NOTICE");
    EXPECT_EQ(ConsoleSink::levelName(Critical), "CRITICAL");
}

TEST(ConsoleSink, ErrorsGoToStandardErrorOthersToStandardOutput)
{
    StreamCapture capture;
    ConsoleSink::write(message(Warning, "a warning"));
    ConsoleSink::write(message(Error, "an error"));
    ConsoleSink::write(message(Critical, "a critical"));
    ConsoleSink::write(message(Debug, "a trace"));
    EXPECT_EQ(capture.out(), "[WARNING] - 2026-Dec-07 01:12:00: a warning\n[DEBUG] - 2026-Dec-07 01:12:00: a trace\n");
    EXPECT_EQ(capture.err(), "[ERROR] - 2026-Dec-07 01:12:00: an error\n[CRITICAL] - 2026-Dec-07 01:12:00: a critical\n");
}
