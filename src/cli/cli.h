// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// The command-line front end: screens, argument rules and dispatch.

#include <cstddef>

// How many leading bytes of the input argument the default output name
// keeps: 8, fewer when the 8th ends inside a UTF-8 character, which is then
// left out whole (a name of broken characters cannot be made on Windows).
// An invalid byte that is not split stays.
size_t default_name_prefix(const char* input);

// Prints the usage screen, banner line first.
void print_usage();

// Prints the version screen (the banner line is printed before it by the caller).
void print_version();

// The whole program: parses `argv` and runs at most one command. Returns 0 on
// success and -1 on failure; the process exit status is that value. First
// it opens any closed standard descriptor on /dev/null and ignores SIGPIPE.
int zorv_main(int argc, char** argv);
