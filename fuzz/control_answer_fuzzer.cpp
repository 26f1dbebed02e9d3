// A printer's answer on its control port (one byte: does it want the
// command's data?), and the data the bridge then sends: the password file's
// name and length for "copyfile", and the clock setting for "set_date".
//
// Input: the answer byte, then eight bytes that make a local time, then the
// password file.
#include "controlprotocol.h"
#include "fuzzcheck.h"
#include "littleendian.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// A valid local time from eight input bytes.
boost::posix_time::ptime localTime(const uint8_t *bytes)
{
    const unsigned short year = static_cast<unsigned short>(1400 + LittleEndian::read16(bytes) % 8600);
    const unsigned short month = static_cast<unsigned short>(1 + bytes[2] % 12);
    const unsigned short lastDay = boost::gregorian::gregorian_calendar::end_of_month_day(year, month);
    const unsigned short day = static_cast<unsigned short>(1 + bytes[3] % lastDay);
    const boost::posix_time::time_duration time(bytes[4] % 24, bytes[5] % 60, bytes[6] % 60, 0);
    const boost::posix_time::ptime result(boost::gregorian::date(year, month, day), time);
    return result + boost::posix_time::milliseconds(LittleEndian::read16(bytes + 6) % 1000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < ControlProtocol::AnswerSize)
        return 0;
    const unsigned char answer = data[0];
    const bool wanted = ControlProtocol::wantsData(answer);
    FUZZ_CHECK(wanted == (answer != 0));
    if (!wanted || size < 1 + 8)
        return 0;

    const boost::posix_time::ptime time = localTime(data + 1);
    const ControlProtocol::PrinterDate date = ControlProtocol::PrinterDate::fromLocalTime(time);
    const auto dateBytes = date.toBytes();
    FUZZ_CHECK(LittleEndian::read16(dateBytes.data()) == time.date().year());
    FUZZ_CHECK(LittleEndian::read16(dateBytes.data() + 2) == time.date().month());
    FUZZ_CHECK(LittleEndian::read16(dateBytes.data() + 4) == time.date().day_of_week());
    FUZZ_CHECK(LittleEndian::read16(dateBytes.data() + 6) == time.date().day());
    FUZZ_CHECK(LittleEndian::read16(dateBytes.data() + 8) == time.time_of_day().hours());
    FUZZ_CHECK(LittleEndian::read16(dateBytes.data() + 14) < 1000);

    const uint32_t fileLength = static_cast<uint32_t>(size - 9);
    const auto name = ControlProtocol::paddedText<ControlProtocol::FileNameSize>(ControlProtocol::PasswordFileName);
    FUZZ_CHECK(std::strlen(reinterpret_cast<const char *>(name.data())) == std::strlen(ControlProtocol::PasswordFileName));
    FUZZ_CHECK(LittleEndian::read32(ControlProtocol::fileLength(fileLength).data()) == fileLength);
    return 0;
}
