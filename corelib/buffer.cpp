#include "buffer.h"

#include <cstdlib>
#include <cstring>

Buffer::Buffer(unsigned step) : initialStep_(step), step_(step) {}

Buffer::~Buffer()
{
    std::free(data_);
}

void Buffer::reset()
{
    std::free(data_);
    data_ = end_ = nullptr;
    size_ = capacity_ = 0;
    step_ = initialStep_;
}

bool Buffer::grow(unsigned n)
{
    if (capacity_ >= n) {
        if (size_ < n)
            size_ = n;
        return true;
    }
    if (step_ == 0)
        step_ = 1;
    unsigned long long newCapacity = capacity_;
    while (newCapacity < n)
        newCapacity += step_;
    if (newCapacity > 0xffffffffull) {
        reset();
        return false;
    }
    step_ *= 2;

    const size_t offset = static_cast<size_t>(end_ - data_);
    auto *block = static_cast<unsigned char *>(std::realloc(data_, static_cast<size_t>(newCapacity)));
    if (!block) {
        reset();
        return false;
    }
    std::memset(block + capacity_, 0, static_cast<size_t>(newCapacity) - capacity_);
    data_ = block;
    end_ = block + offset;
    capacity_ = static_cast<unsigned>(newCapacity);
    size_ = n;
    return true;
}

unsigned Buffer::append(const void *bytes, unsigned count)
{
    if (!bytes || count == 0)
        return 0;
    const unsigned long long needed = static_cast<unsigned long long>(length()) + count;
    if (needed > 0xffffffffull || !grow(static_cast<unsigned>(needed)))
        return 0;
    std::memcpy(end_, bytes, count);
    if (end_ + count <= data_ + size_)
        end_ += count;
    return count;
}
