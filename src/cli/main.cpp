// SPDX-License-Identifier: BSD-2-Clause
#include "cli/cli.h"

int main(int argc, char** argv) { return zorv_main(argc, argv); }
