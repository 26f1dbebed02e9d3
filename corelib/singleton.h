#pragma once

// Gives T one process-wide instance, built on first use (thread-safe, through a
// function-local static) and destroyed at process exit. T's constructor may be
// protected: the instance is of a private class derived from T.
template <typename T>
class Singleton {
public:
    virtual ~Singleton() = default;

    static T &instance()
    {
        static Instance object;
        return object;
    }

private:
    struct Instance : T {
        Instance() = default;
    };
};
