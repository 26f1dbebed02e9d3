#pragma once

#include <cstdlib>
#include <string>

// Sets (a null value: unsets) an environment variable of this process. The
// Windows runtime has no setenv; there an empty value removes the variable.
inline void setEnvironmentVariable(const char *name, const char *value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// Test helper: sets an environment variable (or unsets it, for a null value)
// for the life of the object, then puts back what was there. Not for tests
// that run threads reading the environment meanwhile.
class ScopedVariable {
public:
    ScopedVariable(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old, hadValue_ = true;
        setEnvironmentVariable(name, value);
    }
    ScopedVariable(const char *name, const std::string &value) : ScopedVariable(name, value.c_str()) {}
    ~ScopedVariable()
    {
        setEnvironmentVariable(name_, hadValue_ ? old_.c_str() : nullptr);
    }
    ScopedVariable(const ScopedVariable &) = delete;
    ScopedVariable &operator=(const ScopedVariable &) = delete;

private:
    const char *name_;
    std::string old_;
    bool hadValue_ = false;
};
