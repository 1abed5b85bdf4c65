// Inside the driver: option scanning, usage, banner and file discovery.
#pragma once

#include "driver/driver.h"

enum class scan_outcome { run, help, usage_error };

// Scans the options into `opts`; the first argument that is not an option is the base
// name and ends the scan, and a WARN line names each argument after it. A base name given
// as the name of one of its files ("GENERAL.jhr") loses the extension. Prints the usage
// (and the error) when the outcome is not run; `help` also stands for --version.
scan_outcome scan_options(int argc, char **argv, run_options &opts);
void print_usage(const char *prog);
void print_banner(const run_options &opts);
// Locates the four files and prints the Files lines.
void find_files(run_context &ctx);
