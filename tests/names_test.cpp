// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

// Both rules on every host: an archive made on one system is restored on
// the other. Each row: the name, then whether POSIX and Windows take it.
TEST(Names, SafeOnEachSystem) {
    const struct {
        const char* name;
        bool posix;
        bool windows;
    } cases[] = {
        {"a.txt", true, true},
        {"", true, true},
        {"dir/sub\\x.bin", true, true},
        {"..a", true, true},
        {"..\\evil.txt", true, false},
        {"a/../b", false, false},
        {"a\\..", true, false},
        {"/x", false, false},
        {"\\x", true, false},
        {"\\\\server\\share\\x", true, false},
        {"\\\\?\\C:\\x", true, false},
        {"\\\\.\\COM1", true, false},
        {"C:x", true, false},
        {"a.txt:stream", true, false},
        {"a<b", true, false},
        {"a>b", true, false},
        {"a\"b", true, false},
        {"a|b", true, false},
        {"a?b", true, false},
        {"a*b", true, false},
        {"a\x01z", true, false},
        {"a\x1fz", true, false},
        {"a.", true, false},
        {"dir./a", true, false},
        {"a ", true, false},
        {"./a", true, false},
        {"con", true, false},
        {"CON.txt", true, false},
        {"dir/Nul  .tar.gz", true, false},
        {"prn", true, false},
        {"aux.c", true, false},
        {"COM0", true, false},
        {"com9.log", true, false},
        {"LPT5", true, false},
        {"COM\xc2\xb9", true, false},
        {"lpt\xc2\xb2.txt", true, false},
        {"LPT\xc2\xb3", true, false},
        {"conin$", true, false},
        {"CONOUT$.x", true, false},
        {"COM", true, true},
        {"COM10", true, true},
        {"CONX", true, true},
        {"xcon", true, true},
        {"COM\xc2\xb4", true, true},
        {"\xe6\x97\xa5\xe6\x9c\xac.txt", true, true},
        {"\xf0\x9f\x98\x80", true, true},
        {"\xff.txt", true, false},
        {"\xc0\xaf", true, false},
        {"\xe6\x97", true, false},
        {"\xed\xa0\x80", true, false},
        {"\xf4\x90\x80\x80", true, false},
        {"\x80", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_safe_posix_name(c.name), c.posix);
        EXPECT_EQ(is_safe_windows_name(c.name), c.windows);
#if defined(_WIN32)
        EXPECT_EQ(is_safe_name(c.name), c.windows);
#else
        EXPECT_EQ(is_safe_name(c.name), c.posix);
#endif
    }
}

}  // namespace
