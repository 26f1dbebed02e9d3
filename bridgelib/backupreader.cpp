#include "backupreader.h"

#include "printerprotocol.h"

#include <algorithm>
#include <utility>

BackupReader::BackupReader(Read read) : read_(std::move(read)), buffer_(ChunkSize) {}

BackupReader::Result BackupReader::readSize(uint32_t &size)
{
    unsigned char field[PrinterProtocol::BackupSizeSize];
    size_t filled = 0;
    const Result result = receive(sizeof field, [&](const unsigned char *bytes, size_t length) {
        // A reader never returns more than it was asked for; the bound keeps
        // a faulty one from writing past the field.
        if (length > sizeof field - filled)
            return false;
        std::copy(bytes, bytes + length, field + filled);
        filled += length;
        return true;
    });
    if (result == Result::Complete)
        size = PrinterProtocol::backupSize(field);
    return result;
}

BackupReader::Result BackupReader::readContent(uint32_t size, const Store &store)
{
    return receive(size, store);
}

BackupReader::Result BackupReader::receive(uint32_t size, const Store &store)
{
    count_ = 0;
    while (count_ < size) {
        const uint32_t wanted = std::min<uint32_t>(size - count_, static_cast<uint32_t>(buffer_.size()));
        bool endOfStream = false;
        const int result = read_(buffer_.data(), wanted, endOfStream);
        if (result == 0)
            return Result::TimedOut;
        if (result < 0)
            return endOfStream ? Result::Ended : Result::Failed;
        if (static_cast<uint32_t>(result) > wanted)
            return Result::Failed;
        if (!store(buffer_.data(), static_cast<size_t>(result)))
            return Result::NotStored;
        count_ += static_cast<uint32_t>(result);
    }
    return Result::Complete;
}
