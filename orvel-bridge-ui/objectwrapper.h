#pragma once

#include "object.h"

// A Qt class T that is also an Object, so that the Qt objects the tray program
// creates (tray icon, menus, events, list items) share the library's root
// class. It adds nothing else: it takes T's constructors, and ownership and
// threading are T's own.
template <class T>
class ObjectWrapper : public T, public Object {
public:
    using T::T;
};
