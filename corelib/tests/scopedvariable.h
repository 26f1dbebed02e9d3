#pragma once

#include <cstdlib>
#include <string>

// Test helper: sets an environment variable (or unsets it, for a null value)
// for the life of the object, then puts back what was there. Not for tests
// that run threads reading the environment meanwhile.
class ScopedVariable {
public:
    ScopedVariable(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old, hadValue_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ScopedVariable(const char *name, const std::string &value) : ScopedVariable(name, value.c_str()) {}
    ~ScopedVariable()
    {
        if (hadValue_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable &) = delete;
    ScopedVariable &operator=(const ScopedVariable &) = delete;

private:
    const char *name_;
    std::string old_;
    bool hadValue_ = false;
};
