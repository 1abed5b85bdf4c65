// The ".JHR File" section: measures the header file, reads its fixed header into the run
// context, prints every field and raises issues for the fields that break a rule.
#include "analysis/analysis.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// A run without a complete fixed header cannot go on; the caller ends it with status 1.
bool fatal_no_header() {
    error_line("\nFATAL: Cannot read .JHR fixed header.\n");
    return false;
}

// Reads the first 1024 bytes of .JHR; prints the open failure itself.
bool read_fixed_header(const std::string &path, unsigned char *image) {
    jam_file jhr;
    if (!jhr.open(path, "rb")) {
        error_line("ERROR: %s\n", std::strerror(errno));
        return false;
    }
    return jhr.read_exact(image, FIXED_HEADER_SIZE);
}

} // namespace

bool check_fixed_header(run_context &ctx) {
    scan_report &report = ctx.report;
    std::printf("\n=== .JHR File ===\n");
    ctx.jhr_size = fsize(ctx.jhr_path);
    std::printf("  Size         : %" PRId64 " bytes\n", ctx.jhr_size);
    // The size query's -1 counts as too small as well.
    if (ctx.jhr_size < static_cast<int64_t>(FIXED_HEADER_SIZE)) {
        RAISE_ISSUE(report, jhr_too_small, ctx.jhr_size, FIXED_HEADER_SIZE);
        return fatal_no_header();
    }

    unsigned char image[FIXED_HEADER_SIZE];
    if (!read_fixed_header(ctx.jhr_path, image))
        return fatal_no_header();
    ctx.fhdr = decode_fixed_header(image);
    const fixed_header &fh = ctx.fhdr;

    if (fh.Signature == JAM_SIGNATURE) {
        std::printf("  Signature    : OK\n");
    } else {
        RAISE_ISSUE(report, jhr_bad_signature, fh.Signature);
        std::printf("  Signature    : INVALID (0x%08X)  *** ERROR ***\n", fh.Signature);
    }
    const std::string created = fmt_ts(fh.DateCreated);
    std::printf("  Created      : %s\n", created.c_str());
    std::printf("  ModCounter   : %u%s\n", fh.ModCounter,
                fh.ModCounter == ALL_ONES ? "  (at rollover)" : "");
    std::printf("  ActiveMsgs   : %u\n", fh.ActiveMsgs);
    std::printf("  BaseMsgNum   : %u%s\n", fh.BaseMsgNum,
                fh.BaseMsgNum == 0 ? "  *** must be >= 1 ***" : "");
    std::printf("  PasswordCRC  : 0x%08X\n", fh.PasswordCRC);

    if (implausible_date(fh.DateCreated, date_limit_now()))
        RAISE_ISSUE(report, jhr_date_created, created.c_str());
    if (fh.BaseMsgNum == 0)
        RAISE_ISSUE(report, jhr_base_msg_num_zero);

    int nonzero = 0;
    for (const unsigned char b : fh.Reserved)
        nonzero += b != 0;
    if (nonzero != 0)
        std::printf("  Reserved     : %d non-zero bytes (harmless)\n", nonzero);
    return true;
}
