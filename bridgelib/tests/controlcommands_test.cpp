#include "controlprotocol.h"
#include "littleendian.h"
#include "logcapture.h"
#include "remoteprinter.h"
#include "servicetesttools.h"
#include "sockettesttools.h"
#include "testservice.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <future>
#include <gtest/gtest.h>
#include <string>

using namespace sockettest;
namespace pt = boost::posix_time;

namespace {

// One control-port address per test, so that tests running at the same
// time do not meet each other's printers.
constexpr uint32_t CopyFilePrinter = 0x7F000401u;  // 127.0.4.1
constexpr uint32_t DatePrinter = 0x7F000402u;      // 127.0.4.2
constexpr uint32_t FailingPrinter = 0x7F000403u;   // 127.0.4.3

// A printer's control port: listens on address:9102 and serves one
// connection with `serve` (given the accepted socket) on a thread.
class ControlPort {
public:
    explicit ControlPort(uint32_t address) : listener_(address, ControlProtocol::Port)
    {
        if (!listener_.listening())
            throw std::runtime_error("cannot listen on the control port");
    }

    // Accepts one connection and returns what `serve` makes of it.
    template <typename Serve>
    std::future<std::string> serveOne(Serve serve)
    {
        return std::async(std::launch::async, [this, serve] {
            const std::shared_ptr<Socket> connection = listener_.accept(10000);
            if (!connection)
                return std::string("no connection");
            connection->name = "Printer side";
            connection->receiveTimeout = 10000;
            connection->applyTimeouts();
            return serve(*connection);
        });
    }

private:
    servicetest::FixedListener listener_;
};

std::string readExactly(Socket &socket, size_t size)
{
    std::string bytes(size, '\0');
    if (size > 0 && socket.read(&bytes[0], static_cast<uint32_t>(size), true) != static_cast<int>(size))
        return "<short>";
    return bytes;
}

// Everything until the bridge closes the connection.
std::string readToEnd(Socket &socket)
{
    std::string bytes;
    char buffer[4096];
    int received;
    while ((received = socket.read(buffer, sizeof buffer, false)) > 0)
        bytes.append(buffer, static_cast<size_t>(received));
    return bytes;
}

} // namespace

TEST(PrinterDate, FieldsOfAKnownLocalTimeAndTheWeekdayRule)
{
    const ControlProtocol::PrinterDate leap =
        ControlProtocol::PrinterDate::fromLocalTime(pt::time_from_string("2024-02-29 13:05:09.250"));
    const auto bytes = leap.toBytes();
    const uint16_t expected[] = {2024, 2, 4, 29, 13, 5, 9, 250};
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(LittleEndian::read16(bytes.data() + 2 * i), expected[i]) << "field " << i;

    EXPECT_EQ(ControlProtocol::dayOfWeek(2023, 1, 1), 0u) << "a Sunday";
    EXPECT_EQ(ControlProtocol::PrinterDate::fromLocalTime(pt::time_from_string("2023-01-01 00:00:00.999999")).millisecond,
              999) << "the sub-second part is truncated";
    // The rule agrees with the calendar over several centuries, leap years included.
    for (boost::gregorian::date day(1899, 12, 25); day < boost::gregorian::date(2101, 1, 8); day += boost::gregorian::days(1)) {
        ASSERT_EQ(ControlProtocol::dayOfWeek(day.year(), day.month(), day.day()), day.day_of_week().as_number())
            << boost::gregorian::to_simple_string(day);
    }
}

TEST(ControlCommands, CopyFileSendsNameLengthAndContentOnlyWhenThePrinterWantsThem)
{
    LogCapture capture;
    TestService service;
    ASSERT_TRUE(service.start());
    ControlPort port(CopyFilePrinter);
    RemotePrinter printer(CopyFilePrinter, true, false, &service);
    const std::string content = "user=admin\npassword=secret\n";
    const auto *bytes = reinterpret_cast<const unsigned char *>(content.data());

    auto received = port.serveOne([](Socket &connection) {
        const std::string command = readExactly(connection, 16);
        connection.write("\x01", 1);
        return command + readToEnd(connection);
    });
    EXPECT_TRUE(printer.updatePasswordFile(bytes, static_cast<unsigned>(content.size())));
    const auto name = ControlProtocol::paddedText<64>("admins.dat");
    const auto length = ControlProtocol::fileLength(static_cast<uint32_t>(content.size()));
    EXPECT_EQ(received.get(), std::string("copyfile", 8) + std::string(8, '\0') +
                                  std::string(name.begin(), name.end()) + std::string(length.begin(), length.end()) +
                                  content);
    EXPECT_TRUE(capture.contains(formatString("Connection to 127.0.4.1:9102 succeeded (PrinterControlPort - password)")));

    // A printer that answers 0 gets nothing more, and that is a success.
    received = port.serveOne([](Socket &connection) {
        const std::string command = readExactly(connection, 16);
        connection.write("\x00", 1);
        return command + readToEnd(connection);
    });
    EXPECT_TRUE(printer.updatePasswordFile(bytes, static_cast<unsigned>(content.size())));
    EXPECT_EQ(received.get(), std::string("copyfile", 8) + std::string(8, '\0'));

    EXPECT_FALSE(printer.updatePasswordFile(bytes, 0)) << "an empty file is not delivered";
}

TEST(ControlCommands, SetDateSendsThisComputersLocalTime)
{
    TestService service;
    ASSERT_TRUE(service.start());
    ControlPort port(DatePrinter);
    RemotePrinter printer(DatePrinter, true, false, &service);
    auto received = port.serveOne([](Socket &connection) {
        const std::string command = readExactly(connection, 16);
        connection.write("\x07", 1);
        return command + readToEnd(connection);
    });
    const pt::ptime before = pt::microsec_clock::local_time();
    EXPECT_TRUE(printer.setPrinterDate());
    const pt::ptime after = pt::microsec_clock::local_time();
    const std::string bytes = received.get();
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes.substr(0, 16), std::string("set_date", 8) + std::string(8, '\0'));
    const auto *date = reinterpret_cast<const unsigned char *>(bytes.data()) + 16;
    auto field = [&](int index) { return LittleEndian::read16(date + 2 * index); };
    const pt::ptime sent(boost::gregorian::date(field(0), field(1), field(3)),
                         pt::hours(field(4)) + pt::minutes(field(5)) + pt::seconds(field(6)) + pt::milliseconds(field(7)));
    EXPECT_GE(sent, before - pt::milliseconds(1));
    EXPECT_LE(sent, after);
    EXPECT_EQ(field(2), ControlProtocol::dayOfWeek(field(0), field(1), field(3)));
}

TEST(ControlCommands, FailuresGiveFalse)
{
    TestService service;
    ASSERT_TRUE(service.start());
    RemotePrinter printer(FailingPrinter, true, false, &service);
    const unsigned char file[] = {'x'};
    {
        SCOPED_TRACE("nothing listens on the control port");
        EXPECT_FALSE(printer.updatePasswordFile(file, 1));
        EXPECT_FALSE(printer.setPrinterDate());
    }
    ControlPort port(FailingPrinter);
    {
        SCOPED_TRACE("the printer closes without answering");
        auto served = port.serveOne([](Socket &connection) { return readExactly(connection, 16); });
        EXPECT_FALSE(printer.setPrinterDate());
        served.get();
    }
    {
        SCOPED_TRACE("the printer does not answer within 5 s");
        auto served = port.serveOne([](Socket &connection) {
            readExactly(connection, 16);
            readToEnd(connection);  // until the bridge gives up
            return std::string();
        });
        const auto begin = Clock::now();
        Watchdog watchdog(15000, [&] { service.stop(); });
        EXPECT_FALSE(printer.updatePasswordFile(file, 1));
        EXPECT_FALSE(watchdog.disarm()) << "the 5-s receive time-out did not end the exchange";
        EXPECT_GE(millisecondsSince(begin), 4500);
        served.get();
    }
}
