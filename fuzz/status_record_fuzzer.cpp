// A status record as the console program's "status" option reads it from
// disk, where anything may have been left: the reader refuses it or reads a
// record that, written again, reads back to the same text.
#include "fuzzcheck.h"
#include "statusrecord.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    StatusRecord record;
    record.guid = "untouched";
    std::string error;
    if (!StatusRecord::fromJson(text, record, error)) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(record.guid == "untouched");
        return 0;
    }
    FUZZ_CHECK(error.empty());

    const std::string written = record.toJson();
    StatusRecord again;
    FUZZ_CHECK(StatusRecord::fromJson(written, again, error));
    FUZZ_CHECK(again.toJson() == written);
    FUZZ_CHECK(again.printers.size() == record.printers.size());
    // What the reader let in is safe to print.
    for (const char c : written)
        FUZZ_CHECK(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
    return 0;
}
