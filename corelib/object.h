#pragma once

// Root class of most library classes: gives them a virtual destructor so that
// they can be owned and destroyed through a base pointer.
class Object {
public:
    virtual ~Object() = default;
};
