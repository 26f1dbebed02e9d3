#pragma once

#include <cstddef>

// The icon-name table of the Font Awesome 4.7 font: every icon name without
// hyphens ("chainbroken", "fa_500px") with its code point. The table is
// generated at build time from the font package's stylesheet
// (qtawesome-names.py); aliases give several names for one code point.
// Constant data: any thread may read it.
struct QtAwesomeNames {
    struct Entry {
        const char *name;
        int codePoint;
    };
    static const Entry entries[];
    static const std::size_t count;
};
