#pragma once

#include <array>
#include <boost/date_time/posix_time/ptime.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

// The printer's control port (TCP 9102): one short exchange per connection.
// The bridge sends a 16-byte ControlCommand (the command's name, NUL-padded);
// the printer answers one byte, 0 when it wants nothing more, else the bridge
// sends the command's data:
//   "copyfile": a 64-byte NUL-padded file name, the file's length (unsigned
//               32-bit little-endian) and its content;
//   "set_date": a 16-byte PrinterDate.
// This is the one place of the control port's byte layout.
namespace ControlProtocol {

constexpr uint16_t Port = 9102;
constexpr size_t CommandSize = 16;
constexpr size_t FileNameSize = 64;
constexpr size_t LengthSize = 4;

constexpr const char *CopyFile = "copyfile";
constexpr const char *SetDate = "set_date";
constexpr const char *PasswordFileName = "admins.dat";

// `text` NUL-padded (or cut) to `Size` bytes.
template <size_t Size>
std::array<unsigned char, Size> paddedText(const std::string &text)
{
    std::array<unsigned char, Size> field{};
    for (size_t i = 0; i < text.size() && i < Size; ++i)
        field[i] = static_cast<unsigned char>(text[i]);
    return field;
}

constexpr size_t AnswerSize = 1;

std::array<unsigned char, CommandSize> command(const std::string &name);
std::array<unsigned char, LengthSize> fileLength(uint32_t length);
// True when the printer's one-byte answer asks for the command's data; 0
// means that it wants nothing more, which counts as a success.
bool wantsData(unsigned char answer);

// The day of the week of a Gregorian date, 0 = Sunday ... 6 = Saturday.
unsigned dayOfWeek(unsigned year, unsigned month, unsigned day);

// A printer's clock setting: eight unsigned 16-bit fields, in this order.
struct PrinterDate {
    static constexpr size_t Size = 16;

    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;

    // The fields of a local time; the milliseconds are its sub-second part, truncated.
    static PrinterDate fromLocalTime(const boost::posix_time::ptime &localTime);
    std::array<unsigned char, Size> toBytes() const;
};

} // namespace ControlProtocol
