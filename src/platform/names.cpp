// SPDX-License-Identifier: BSD-2-Clause
// The rules for a stored name from an archive, which is untrusted: on each
// system, a name that could reach outside the current folder or that the
// system would read as something else than a file below it is refused.
// Pure functions of the bytes, so that both rules are tested on every host.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_letters(const char* part, size_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (size_t k = 0; k < length; ++k) {
        if (upper(part[k]) != word[k]) return false;
    }
    return true;
}

// A digit after COM or LPT: 0-9, or the superscripts 1, 2 and 3 (C2 B9,
// C2 B2, C2 B3), which Windows takes for digits there.
bool is_port_digit(const char* text, size_t length) {
    if (length == 1) return text[0] >= '0' && text[0] <= '9';
    const auto* u = reinterpret_cast<const uint8_t*>(text);
    return length == 2 && u[0] == 0xC2 && (u[1] == 0xB9 || u[1] == 0xB2 || u[1] == 0xB3);
}

// The device names are reserved whatever follows a dot ("nul.txt") and with
// spaces before it ("CON  ").
bool is_device_name(const char* part, size_t length) {
    size_t base = 0;
    while (base < length && part[base] != '.') ++base;
    while (base > 0 && part[base - 1] == ' ') --base;
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (same_letters(part, base, device)) return true;
    }
    return base >= 4 && (same_letters(part, 3, "COM") || same_letters(part, 3, "LPT")) &&
           is_port_digit(part + 3, base - 3);
}

// Well-formed UTF-8: no stray continuation byte, no overlong form, no
// surrogate, nothing above U+10FFFF. Windows names are UTF-16, and a byte
// that converts to none would name another file than the one printed.
bool is_utf8(const char* name) {
    const auto* u = reinterpret_cast<const uint8_t*>(name);
    while (*u != 0) {
        const uint8_t lead = *u;
        size_t follow = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++u;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            follow = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            follow = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        ++u;
        for (size_t k = 0; k < follow; ++k, ++u) {
            if (*u < low || *u > high) return false;
            low = 0x80;
            high = 0xBF;
        }
    }
    return true;
}

}  // namespace

bool is_safe_posix_name(const char* name) {
    if (name[0] == '/') return false;
    for (const char* start = name;;) {
        const char* end = std::strchr(start, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - start) : std::strlen(start);
        if (length == 2 && start[0] == '.' && start[1] == '.') return false;
        if (end == nullptr) return true;
        start = end + 1;
    }
}

bool is_safe_windows_name(const char* name) {
    // A leading separator is the root of a drive, or of \\server\share,
    // \\?\ and \\.\ paths.
    if (is_separator(name[0]) || !is_utf8(name)) return false;
    for (const char* c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<uint8_t>(*c);
        // ':' makes a drive prefix or names a stream of a file.
        if (byte < 32 || std::strchr("<>\"|?*:", *c) != nullptr) return false;
    }
    for (const char* start = name;;) {
        const char* end = start;
        while (*end != '\0' && !is_separator(*end)) ++end;
        const size_t length = static_cast<size_t>(end - start);
        // The system drops a trailing dot or space, so "a." would be "a"
        // and ".." would go up a folder.
        if (length > 0 && (start[length - 1] == '.' || start[length - 1] == ' ')) return false;
        if (is_device_name(start, length)) return false;
        if (*end == '\0') return true;
        start = end + 1;
    }
}

bool is_safe_name(const char* name) {
#if defined(_WIN32)
    return is_safe_windows_name(name);
#else
    return is_safe_posix_name(name);
#endif
}
