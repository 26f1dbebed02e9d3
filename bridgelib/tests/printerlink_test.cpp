#include "littleendian.h"
#include "printerinfo.h"
#include "remoteprinter.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

std::vector<unsigned char> record(const char *name, const char *model, int32_t systemId)
{
    std::vector<unsigned char> payload(152, 0);
    std::memcpy(payload.data(), name, std::strlen(name));
    std::memcpy(payload.data() + 32, model, std::strlen(model));
    std::memcpy(payload.data() + 64, "Ready", 5);
    std::memset(payload.data() + 96, 'S', 16);  // a full field has no terminator
    LittleEndian::write32(payload.data() + 144, 1700000000u);
    LittleEndian::write32(payload.data() + 148, static_cast<uint32_t>(systemId));
    return payload;
}

} // namespace

TEST(PrinterInfo, RecordFieldsFromAFullPayload)
{
    std::vector<unsigned char> payload = record("Front desk", "LabJet 1000", -7);
    payload.resize(200, 0xA5);  // bytes beyond the record are ignored
    const PrinterInfo info = PrinterInfo::fromPayload(payload.data(), payload.size());
    const PrinterDetails details = PrinterDetails::from(0x0A000001u, info, 0, 0);
    EXPECT_EQ(details.name, "Front desk");
    EXPECT_EQ(details.model, "LabJet 1000");
    EXPECT_EQ(details.status, "Ready");
    EXPECT_EQ(details.serial, std::string(16, 'S'));
    EXPECT_EQ(details.version, "");
    EXPECT_EQ(details.installationDate, 1700000000);
    EXPECT_EQ(details.systemId, -7);
}

TEST(PrinterInfo, ShortPayloadFillsOnlyTheBeginning)
{
    const std::vector<unsigned char> payload = record("A name that is twenty-five", "model", 5);
    const PrinterInfo info = PrinterInfo::fromPayload(payload.data(), 20);
    EXPECT_EQ(PrinterInfo::text(info.name), "A name that is twent");
    EXPECT_EQ(PrinterInfo::text(info.model), "");
    EXPECT_EQ(info.systemId, 0);
    EXPECT_EQ(PrinterInfo::text(PrinterInfo::unnamed().name), "Unnamed printer");
    EXPECT_EQ(PrinterInfo::text(PrinterInfo::unnamed().model), "");
}

TEST(RemotePrinter, SanitiseFileNameReplacesTheNineReservedCharacters)
{
    EXPECT_EQ(RemotePrinter::sanitiseFileName("a/b:c"), "a_b_c");
    EXPECT_EQ(RemotePrinter::sanitiseFileName("\\/<>:\"|?*"), "_________");
    EXPECT_EQ(RemotePrinter::sanitiseFileName("Front desk 2.0"), "Front desk 2.0");
}

TEST(PrinterDetails, TextShowsTheFieldsThatAreSetAndTheGateway)
{
    std::vector<unsigned char> payload = record("", "LabJet 1000", 0);
    LittleEndian::write32(payload.data() + 144, 0u);
    std::memset(payload.data() + 96, 0, 16);
    const PrinterInfo info = PrinterInfo::fromPayload(payload.data(), payload.size());
    EXPECT_EQ(PrinterDetails::from(0x0A000102u, info, 0, 0).text(),
              "Name: ?\nAddress: 10.0.1.2\nModel: LabJet 1000\nStatus: Ready");

    const PrinterInfo full = PrinterInfo::fromPayload(record("Front desk", "X", -7).data(), 152);
    EXPECT_EQ(PrinterDetails::from(0x0A000102u, full, 0x0A000001u, 9103).text(),
              "Name: Front desk\nAddress: 10.0.1.2\nModel: X\nStatus: Ready\nSerial: " + std::string(16, 'S') +
                  "\nInstallation date: 2023-Nov-14 22:13:20\nSystem ID: -7\nGateway: 10.0.0.1:9103");

    // A name and a model with a line end, an escape sequence and a byte that
    // is not text cannot add lines or reach the screen as controls.
    const PrinterInfo hostile = PrinterInfo::fromPayload(record("A\nB\x1b[1m", "M\xff", 0).data(), 152);
    const std::string shown = PrinterDetails::from(0x0A000102u, hostile, 0, 0).text();
    EXPECT_EQ(shown.substr(0, shown.find("\nAddress")), "Name: A\\x0AB\\x1B[1m");
    EXPECT_NE(shown.find("\nModel: M\\xFF\n"), std::string::npos) << shown;
}
