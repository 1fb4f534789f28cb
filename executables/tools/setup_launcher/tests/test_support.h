// Shared by the native unit tests: turns the fatal error report into an exception, so that a test
// can look at the composed report instead of losing the process.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "launcher_test_hooks.h"
#include "wide_format.h"

struct FatalErrorRaised : std::runtime_error {
    ErrorReport report;
    explicit FatalErrorRaised(const ErrorReport& r)
        : std::runtime_error(to_utf8(r.message)), report(r) {}
};

[[noreturn]] inline void throw_fatal_error(const ErrorReport& report) {
    throw FatalErrorRaised(report);
}

// Installs the throwing handler for the lifetime of the object.
struct ThrowOnFatalError {
    FatalErrorHandler previous = set_fatal_error_handler(throw_fatal_error);
    ~ThrowOnFatalError() { set_fatal_error_handler(previous); }
};

// Sets an environment variable for the lifetime of the object.
struct ScopedEnv {
    std::string name;
    std::string old_value;
    bool had_value;
    ScopedEnv(const char* n, const char* value) : name(n) {
        const char* old = std::getenv(n);
        had_value = old != nullptr;
        if (had_value)
            old_value = old;
        if (value != nullptr) {
            setenv(n, value, 1);
        } else {
            unsetenv(n);
        }
    }
    ~ScopedEnv() {
        if (had_value) {
            setenv(name.c_str(), old_value.c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
};

// Makes the user's interface language follow `locale` whatever the environment says: LC_ALL and
// LC_MESSAGES would take precedence over LANG.
struct ScopedUiLanguage {
    ScopedEnv lc_all{"LC_ALL", nullptr};
    ScopedEnv lc_messages{"LC_MESSAGES", nullptr};
    ScopedEnv lang;
    explicit ScopedUiLanguage(const char* locale) : lang("LANG", locale) {}
};
