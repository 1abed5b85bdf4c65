// The error lines of the file layer, on standard error after what the report holds so far.
#include "format/files.h"

#include "format/jam.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

void error_line(const char *format, ...) {
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void print_open_error(const std::string &path) {
    // A name that holds no regular file is refused before the system is asked, so errno
    // would not tell why.
    if (const char *kind = special_file_kind(path))
        error_line("  ERROR: cannot open %s: not a regular file (%s)\n",
                   terminal_text(path).c_str(), kind);
    else if (errno == EBUSY)
        error_line("  ERROR: cannot open %s: another program has it open\n",
                   terminal_text(path).c_str());
    else
        error_line("  ERROR: cannot open %s: %s\n", terminal_text(path).c_str(),
                   std::strerror(errno));
}

void print_write_error(const std::string &path) {
    error_line("  ERROR: write failed on %s: %s\n", terminal_text(path).c_str(),
               std::strerror(errno));
}
