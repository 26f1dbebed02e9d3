#pragma once

#include "object.h"

#include <cstddef>

// A growable block of bytes for messages being built and for receive buffers.
// It grows in steps: each reallocation adds the current step as often as needed
// and then doubles the step, so that a buffer built from many small appends
// reallocates only a few times. Not thread-safe; one owner uses it at a time.
class Buffer : public Object {
public:
    explicit Buffer(unsigned step);
    ~Buffer() override;

    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    // Makes sure capacity() >= n and size() >= n. Returns false when memory ran
    // out; the buffer is then empty again.
    bool grow(unsigned n);

    // Copies count bytes at the append position and moves it on; returns the
    // number of bytes copied (0 for no bytes or when the buffer cannot grow).
    unsigned append(const void *bytes, unsigned count);

    unsigned char *data() const { return data_; }
    // Bytes appended so far (the distance of the append position from data()).
    unsigned length() const { return static_cast<unsigned>(end_ - data_); }
    // Bytes the owner may use (read into, send from); only grows.
    unsigned size() const { return size_; }
    unsigned capacity() const { return capacity_; }
    unsigned step() const { return step_; }

private:
    void reset();

    unsigned char *data_ = nullptr;
    unsigned char *end_ = nullptr;
    unsigned size_ = 0;
    unsigned capacity_ = 0;
    unsigned initialStep_;
    unsigned step_;
};
