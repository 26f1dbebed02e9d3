// A printer's answer to TQ_BACKUP_CMD on its status port: the 4-byte size
// and the content, arriving in pieces of any size, the stream ending early
// by a time-out, an orderly close or an error.
//
// Input: one control byte, then the bytes the printer sends. The control
// byte's low three bits choose the largest piece a read returns, bit 3 how
// the stream ends (closed, else timed out), bit 4 an error instead, and bit
// 5 a store that refuses the third piece (a full disk).
#include "backupreader.h"
#include "fuzzcheck.h"
#include "remoteprinter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const uint32_t pieceLimits[] = {1, 2, 3, 7, 64, 1000, 4096, 65536};
    const uint8_t control = data[0];
    const uint32_t pieceLimit = pieceLimits[control & 7];
    const bool closes = (control & 8) != 0;
    const bool fails = (control & 16) != 0;
    const bool diskFills = (control & 32) != 0;
    const uint8_t *stream = data + 1;
    const size_t streamSize = size - 1;
    size_t offset = 0;

    BackupReader reader([&](unsigned char *buffer, uint32_t wanted, bool &endOfStream) -> int {
        FUZZ_CHECK(wanted > 0 && wanted <= BackupReader::ChunkSize);
        if (offset == streamSize) {
            if (fails)
                return -1;
            endOfStream = closes;
            return closes ? -1 : 0;
        }
        const size_t piece = std::min<size_t>({wanted, pieceLimit, streamSize - offset});
        std::memcpy(buffer, stream + offset, piece);
        offset += piece;
        return static_cast<int>(piece);
    });

    uint32_t backupSize = 0;
    const BackupReader::Result sizeResult = reader.readSize(backupSize);
    if (sizeResult != BackupReader::Result::Complete) {
        FUZZ_CHECK(streamSize < 4 && reader.count() == streamSize);
        return 0;
    }
    FUZZ_CHECK(reader.count() == 4);
    if (backupSize == 0 || backupSize > RemotePrinter::MaxBackupSize)
        return 0;

    size_t stored = 0;
    unsigned pieces = 0;
    const BackupReader::Result contentResult =
        reader.readContent(backupSize, [&](const unsigned char *bytes, size_t length) {
            FUZZ_CHECK(length > 0 && length <= BackupReader::ChunkSize);
            FUZZ_CHECK(std::memcmp(bytes, stream + 4 + stored, length) == 0);
            if (diskFills && ++pieces == 3)
                return false;
            stored += length;
            return true;
        });
    FUZZ_CHECK(reader.count() == stored);
    switch (contentResult) {
    case BackupReader::Result::Complete:
        FUZZ_CHECK(stored == backupSize);
        break;
    case BackupReader::Result::NotStored:
        FUZZ_CHECK(diskFills && stored < backupSize);
        break;
    case BackupReader::Result::TimedOut:
        FUZZ_CHECK(!fails && !closes && stored == streamSize - 4);
        break;
    case BackupReader::Result::Ended:
        FUZZ_CHECK(!fails && closes && stored == streamSize - 4);
        break;
    case BackupReader::Result::Failed:
        FUZZ_CHECK(fails && stored == streamSize - 4);
        break;
    }
    return 0;
}
