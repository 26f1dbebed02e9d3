#include "buffer.h"
#include "exception.h"
#include "littleendian.h"
#include "stringutils.h"

#include <gtest/gtest.h>

TEST(Buffer, GrowsByDoublingSteps)
{
    Buffer buffer(1024);
    EXPECT_EQ(buffer.data(), nullptr);
    ASSERT_TRUE(buffer.grow(100));
    EXPECT_EQ(buffer.capacity(), 1024u);
    EXPECT_EQ(buffer.size(), 100u);
    EXPECT_EQ(buffer.step(), 2048u);
    EXPECT_EQ(buffer.data()[1023], 0) << "a new block is zero-filled";

    ASSERT_TRUE(buffer.grow(3000));
    EXPECT_EQ(buffer.capacity(), 3072u);
    EXPECT_EQ(buffer.size(), 3000u);
    EXPECT_EQ(buffer.step(), 4096u);

    // A step that is too small to reach the size in one addition is added repeatedly.
    ASSERT_TRUE(buffer.grow(20000));
    EXPECT_EQ(buffer.capacity(), 3072u + 5 * 4096u);
    EXPECT_EQ(buffer.step(), 8192u);
}

TEST(Buffer, GrowBelowCapacityNeverShrinksOrMoves)
{
    Buffer buffer(4096);
    ASSERT_TRUE(buffer.grow(4096));
    unsigned char *before = buffer.data();
    ASSERT_TRUE(buffer.grow(10));
    EXPECT_EQ(buffer.size(), 4096u);
    EXPECT_EQ(buffer.data(), before);
}

TEST(Buffer, AppendCopiesAndKeepsEarlierBytesAcrossReallocation)
{
    Buffer buffer(4);
    EXPECT_EQ(buffer.append(nullptr, 10), 0u);
    const char text[] = "abcdefghij";
    EXPECT_EQ(buffer.append(text, 0), 0u);
    EXPECT_EQ(buffer.data(), nullptr);

    EXPECT_EQ(buffer.append(text, 3), 3u);
    EXPECT_EQ(buffer.append(text + 3, 7), 7u);
    ASSERT_EQ(buffer.length(), 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer.data()), buffer.length()), "abcdefghij");
}

TEST(FormatString, FormatsAndHandlesEmptyResults)
{
    EXPECT_EQ(formatString("Printer '%s' added", "10.0.0.1"), "Printer '10.0.0.1' added");
    EXPECT_EQ(formatString("%d-%05.1f", 42, 3.14159), "42-003.1");
    EXPECT_EQ(formatString(nullptr), "");
    EXPECT_EQ(formatString("%s", ""), "");
    const std::string longText(5000, 'x');
    EXPECT_EQ(formatString("[%s]", longText.c_str()), "[" + longText + "]");
}

TEST(AddressToString, MostSignificantOctetFirst)
{
    EXPECT_EQ(addressToString((192u << 24) | (168u << 16) | (1u << 8) | 20u), "192.168.1.20");
    EXPECT_EQ(addressToString(0), "0.0.0.0");
    EXPECT_EQ(addressToString(0xffffffffu), "255.255.255.255");
}

TEST(Exception, CarriesMessageAndPosition)
{
    try {
        THROW_EXCEPTION("cannot find user's documents path");
        FAIL() << "nothing was thrown";
    } catch (const Exception &error) {
        EXPECT_STREQ(error.what(), "cannot find user's documents path");
        EXPECT_NE(error.file.find("coretypes_test.cpp"), std::string::npos);
        EXPECT_GT(error.line, 0);
        EXPECT_NE(error.function.find("TestBody"), std::string::npos);
        const Exception copy = error;
        EXPECT_EQ(copy.function, error.function);
    }
    const Exception empty("x", nullptr, 0, nullptr);
    EXPECT_EQ(empty.file, "");
    EXPECT_EQ(empty.function, "");
}

TEST(LittleEndian, RoundTripsAndReadsLowByteFirst)
{
    unsigned char bytes[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(LittleEndian::read32(bytes), 0x12345678u);
    EXPECT_EQ(LittleEndian::read16(bytes), 0x5678u);
    LittleEndian::write32(bytes, 0xA1B2C3D4u);
    EXPECT_EQ(bytes[0], 0xD4);
    EXPECT_EQ(bytes[3], 0xA1);
    LittleEndian::write16(bytes, 0xFFFE);
    EXPECT_EQ(static_cast<int16_t>(LittleEndian::read16(bytes)), -2);
}

TEST(EscapeText, EscapesControlsAndInvalidUtf8AndKeepsValidText)
{
    // A name that would forge a log line and move the terminal's cursor.
    EXPECT_EQ(escapeText("Printer\n[ERROR] - x\x1b[2J"), "Printer\\x0A[ERROR] - x\\x1B[2J");
    EXPECT_EQ(escapeText(std::string("a\0b\x7f", 4)), "a\\x00b\\x7F");
    // Valid two-, three- and four-byte characters stay as they are.
    EXPECT_EQ(escapeText("Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x96\xa8"), "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x96\xa8");
    // A lone continuation byte, a cut sequence, an overlong '/', a surrogate
    // and a value above U+10FFFF are not text.
    EXPECT_EQ(escapeText("\x80"), "\\x80");
    EXPECT_EQ(escapeText("ab\xe2\x82"), "ab\\xE2\\x82");
    EXPECT_EQ(escapeText("\xc0\xaf"), "\\xC0\\xAF");
    EXPECT_EQ(escapeText("\xed\xa0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(escapeText("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
    // The C1 control CSI (U+009B) is valid UTF-8 but a terminal command.
    EXPECT_EQ(escapeText("\xc2\x9b" "31m"), "\\xC2\\x9B31m");
    EXPECT_EQ(escapeText(""), "");
}
