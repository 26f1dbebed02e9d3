#pragma once

#include <memory>

// Something that can make a new object of its own kind, copied from itself.
// The socket servers clone themselves for every connection they serve.
class IClonable {
public:
    virtual ~IClonable() = default;
    virtual std::shared_ptr<IClonable> clone() const = 0;
};
