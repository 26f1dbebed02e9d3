#include "controlprotocol.h"

#include "littleendian.h"

namespace ControlProtocol {

std::array<unsigned char, CommandSize> command(const std::string &name)
{
    return paddedText<CommandSize>(name);
}

std::array<unsigned char, LengthSize> fileLength(uint32_t length)
{
    std::array<unsigned char, LengthSize> field{};
    LittleEndian::write32(field.data(), length);
    return field;
}

bool wantsData(unsigned char answer)
{
    return answer != 0;
}

unsigned dayOfWeek(unsigned year, unsigned month, unsigned day)
{
    const unsigned a = (14 - month) / 12;
    const unsigned y = year - a;
    const unsigned m = month + 12 * a - 2;
    return (day + y + y / 4 - y / 100 + y / 400 + 31 * m / 12) % 7;
}

PrinterDate PrinterDate::fromLocalTime(const boost::posix_time::ptime &localTime)
{
    const boost::gregorian::date date = localTime.date();
    const boost::posix_time::time_duration time = localTime.time_of_day();
    PrinterDate result;
    result.year = static_cast<uint16_t>(date.year());
    result.month = static_cast<uint16_t>(date.month());
    result.day = static_cast<uint16_t>(date.day());
    result.dayOfWeek = static_cast<uint16_t>(ControlProtocol::dayOfWeek(result.year, result.month, result.day));
    result.hour = static_cast<uint16_t>(time.hours());
    result.minute = static_cast<uint16_t>(time.minutes());
    result.second = static_cast<uint16_t>(time.seconds());
    result.millisecond = static_cast<uint16_t>(time.fractional_seconds() * 1000 / time.ticks_per_second());
    return result;
}

std::array<unsigned char, PrinterDate::Size> PrinterDate::toBytes() const
{
    std::array<unsigned char, Size> bytes{};
    const uint16_t fields[] = {year, month, dayOfWeek, day, hour, minute, second, millisecond};
    for (size_t i = 0; i < 8; ++i)
        LittleEndian::write16(bytes.data() + 2 * i, fields[i]);
    return bytes;
}

} // namespace ControlProtocol
