// Option scanning, the usage text and file discovery.
#include "driver/command_line.h"

#include "cairnfix_version.h"
#include "format/files.h"
#include "format/jam.h"

#include <cstdio>
#include <cstring>

namespace {

const char *const OPTION_LETTERS = "arpxvbsh";

void apply_option(char letter, run_options &opts) {
    switch (letter) {
    case 'a':
        opts.analyze = true;
        break;
    case 'r':
        opts.repair = true;
        opts.analyze = false;
        break;
    case 'p':
        opts.pack = true;
        opts.analyze = false;
        break;
    case 'x':
        opts.extended = true;
        break;
    case 'v':
        opts.verbose = true;
        break;
    case 'b':
        opts.backup = true;
        break;
    case 's':
        opts.summary = true;
        break;
    default:
        break;
    }
}

// Tab completion offers "GENERAL.jhr" where the base name "GENERAL" is meant. When no
// header file exists for the operand as a base name but the operand is itself a file of a
// base, under one of the two case forms of an extension, the extension is dropped.
std::string base_name_of(const std::string &operand) {
    std::string found;
    if (find_ext(operand, "jhr", "JHR", found) || !file_exists(operand))
        return operand;
    static const char *const EXTENSIONS[] = {".jhr", ".jdt", ".jdx", ".jlr",
                                             ".JHR", ".JDT", ".JDX", ".JLR"};
    for (const char *ext : EXTENSIONS)
        if (operand.size() > 4 && operand.ends_with(ext))
            return operand.substr(0, operand.size() - 4);
    return operand;
}

// Takes argv[index] as the base name. What follows it is ignored, and each ignored
// argument is named, so that "cairnfix base -r" does not pass for a repair.
scan_outcome take_base_name(int argc, char **argv, int index, run_options &opts) {
    opts.base_name = base_name_of(argv[index]);
    for (int i = index + 1; i < argc; ++i) {
        const char *arg = argv[i];
        const std::string shown = terminal_text(arg);
        if (arg[0] == '-' && arg[1] != '\0')
            error_line("  WARN: ignored argument after the base name: %s (options go before the "
                       "base name)\n",
                       shown.c_str());
        else
            error_line("  WARN: ignored argument after the base name: %s\n", shown.c_str());
    }
    return scan_outcome::run;
}

} // namespace

void print_usage(const char *prog) {
    const std::string shown = terminal_text(prog);
    std::printf("cairnfix v%s  -  FidoNet JAM Message Base Analyzer & Repair\n"
                "\n"
                "Usage: %s [options] <basename>\n"
                "\n"
                "  <basename>  path without extension (e.g. /bbs/msg/GENERAL)\n"
                "              on Windows: C:\\bbs\\msg\\GENERAL\n"
                "\n"
                "Options:\n"
                "  -a   Analyze only, no changes (default)\n"
                "  -r   Repair all auto-fixable issues\n"
                "  -p   Pack: rebuild .JDX from .JHR (also applies -r fixes)\n"
                "  -x   Extended: reply-chain integrity + MSGID/REPLYID CRC\n"
                "  -v   Verbose: per-message and per-subfield detail\n"
                "  -b   Backup all files to .bak before any write\n"
                "  -s   Show message summary table\n"
                "  -h   Help\n"
                "\n"
                "Exit codes:  0 = clean   2 = issues found   1 = fatal error\n"
                "\n"
                "Recommended for a damaged base:\n"
                "  %s -r -x -p -b <basename>\n",
                CAIRNFIX_VERSION, shown.c_str(), shown.c_str());
}

scan_outcome scan_options(int argc, char **argv, run_options &opts) {
    const char *prog = (argc > 0 && argv[0] != nullptr) ? argv[0] : "cairnfix";
    int arg_index = 1;
    while (arg_index < argc) {
        const char *arg = argv[arg_index];
        if (arg[0] != '-' || arg[1] == '\0')
            return take_base_name(argc, argv, arg_index, opts);
        if (std::strcmp(arg, "--") == 0) {
            ++arg_index;
            if (arg_index >= argc)
                break;
            return take_base_name(argc, argv, arg_index, opts);
        }
        // The two long options every command-line tool answers; no other word is known.
        if (std::strcmp(arg, "--help") == 0) {
            print_usage(prog);
            return scan_outcome::help;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("cairnfix %s\n", CAIRNFIX_VERSION);
            return scan_outcome::help;
        }
        // Letters may be grouped: -rxpb sets four flags.
        for (const char *p = arg + 1; *p != '\0'; ++p) {
            if (std::strchr(OPTION_LETTERS, *p) == nullptr) {
                error_line("Unknown option: -%c\n", *p);
                print_usage(prog);
                return scan_outcome::usage_error;
            }
            if (*p == 'h') {
                print_usage(prog);
                return scan_outcome::help;
            }
            apply_option(*p, opts);
        }
        ++arg_index;
    }
    error_line("Error: no basename given.\n\n");
    print_usage(prog);
    return scan_outcome::usage_error;
}

void print_banner(const run_options &opts) {
    std::printf("cairnfix v%s  -  FidoNet JAM Message Base Tool\n", CAIRNFIX_VERSION);
    std::printf("==============================================\n");
    std::printf("Base : %s\n", terminal_text(opts.base_name).c_str());
    const char *mode = opts.repair ? "REPAIR" : opts.pack ? "PACK" : "ANALYZE-ONLY";
    std::printf("Mode : %s%s%s\n", mode, opts.extended ? " +EXTENDED-CHECKS" : "",
                opts.backup ? " +BACKUP" : "");
}

bool find_ext(const std::string &base, const char *lower, const char *upper, std::string &path) {
    path = base + "." + lower;
    if (file_exists(path))
        return true;
    path = base + "." + upper;
    if (file_exists(path))
        return true;
    path = base + "." + lower;
    return false;
}

void find_files(run_context &ctx) {
    const std::string &base = ctx.options.base_name;
    ctx.jhr_found = find_ext(base, "jhr", "JHR", ctx.jhr_path);
    ctx.jdt_found = find_ext(base, "jdt", "JDT", ctx.jdt_path);
    ctx.jdx_found = find_ext(base, "jdx", "JDX", ctx.jdx_path);
    ctx.jlr_found = find_ext(base, "jlr", "JLR", ctx.jlr_path);
    std::printf("\nFiles:\n");
    std::printf("  .JHR  %s  [%s]\n", terminal_text(ctx.jhr_path).c_str(),
                ctx.jhr_found ? "found" : "NOT FOUND");
    std::printf("  .JDT  %s  [%s]\n", terminal_text(ctx.jdt_path).c_str(),
                ctx.jdt_found ? "found" : "not found");
    std::printf("  .JDX  %s  [%s]\n", terminal_text(ctx.jdx_path).c_str(),
                ctx.jdx_found ? "found" : "NOT FOUND");
    std::printf("  .JLR  %s  [%s]\n", terminal_text(ctx.jlr_path).c_str(),
                ctx.jlr_found ? "found" : "not found");
}
