// SPDX-License-Identifier: BSD-2-Clause
#include "cli/cli.h"
#include "platform/platform.h"

#if defined(_WIN32)
// The wide entry: the arguments as the system holds them, whatever the code page.
int wmain(int argc, wchar_t** argv) { return run_with_utf8_arguments(argc, argv, zorv_main); }
#else
int main(int argc, char** argv) { return zorv_main(argc, argv); }
#endif
