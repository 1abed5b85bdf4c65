// Recognises a .JHR whose fixed header gained or lost one byte near its start, and in
// repair or pack mode replaces the file by a realigned copy before anything else reads it.
#include "analysis/analysis.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using byte_buffer = std::vector<unsigned char>;

// The test reads the fixed header and the first message header's opening bytes, no more.
constexpr int64_t HEAD_LEN = 1068;
// Candidate offsets: the signature (0..3) is never moved; the last candidate lies in the
// first 16 bytes of Reserved.
constexpr int32_t FIRST_CANDIDATE = 4;
constexpr int32_t LAST_CANDIDATE = 39;
// Smallest files whose realigned image still holds bytes 1024..1027: one more byte is
// needed for a removal, one less for an insertion than for a header already in place.
constexpr int64_t MIN_SIZE_IN_PLACE = FIXED_HEADER_SIZE + 4;
constexpr int64_t MIN_SIZE_REMOVAL = MIN_SIZE_IN_PLACE + 1;
constexpr int64_t MIN_SIZE_INSERTION = MIN_SIZE_IN_PLACE - 1;

bool signature_at(const byte_buffer &b, std::size_t offset) {
    return get_u32le(&b[offset]) == JAM_SIGNATURE;
}

// Builds `out` from `src` without its byte at offset `shift` (shift > 0), or with a zero
// byte inserted at offset -shift (shift < 0). `out` is reused between candidates.
void realign(const byte_buffer &src, int32_t shift, byte_buffer &out) {
    const auto at = src.begin() + std::abs(shift);
    out.assign(src.begin(), at);
    if (shift < 0) {
        out.push_back(0);
        out.insert(out.end(), at, src.end());
    } else {
        out.insert(out.end(), at + 1, src.end());
    }
}

// A realigned image is believed when a message header starts at 1024 and the fixed header
// shows a positive BaseMsgNum and a DateCreated that is unset or not before 1980.
bool acceptable(const byte_buffer &image) {
    if (!signature_at(image, FIXED_HEADER_SIZE))
        return false;
    const fixed_header h = decode_fixed_header(image.data());
    return static_cast<int32_t>(h.BaseMsgNum) > 0 &&
           (h.DateCreated == 0 || h.DateCreated >= PLAUSIBLE_MIN_TIME);
}

// Every removal is tried before any insertion, each from the lowest offset up; the first
// image that passes decides. Returns +p, -q or 0 as `shift` in the report holds it.
int32_t find_shift(const byte_buffer &head, int64_t size) {
    byte_buffer image;
    image.reserve(head.size() + 1);
    if (size >= MIN_SIZE_REMOVAL)
        for (int32_t p = FIRST_CANDIDATE; p <= LAST_CANDIDATE; ++p) {
            realign(head, p, image);
            if (acceptable(image))
                return p;
        }
    if (size >= MIN_SIZE_INSERTION)
        for (int32_t q = FIRST_CANDIDATE; q <= LAST_CANDIDATE; ++q) {
            realign(head, -q, image);
            if (acceptable(image))
                return -q;
        }
    return 0;
}

// Reads the start of .JHR for the test; false when the file cannot be opened.
bool read_head(const std::string &path, int64_t size, byte_buffer &head) {
    head.resize(static_cast<std::size_t>(std::min(size, HEAD_LEN)));
    jam_file f;
    if (!f.open(path, "rb"))
        return false;
    if (!f.read_exact(head.data(), head.size()))
        head.clear();
    return true;
}

// Whether the head is worth examining: it is complete, its signature is intact and no
// message header stands at 1024 yet.
bool worth_examining(const byte_buffer &head, int64_t size) {
    if (head.empty() || !signature_at(head, 0))
        return false;
    return !(size >= MIN_SIZE_IN_PLACE && signature_at(head, FIXED_HEADER_SIZE));
}

// Reads the whole .JHR and returns it realigned, announcing the change. Empty when the
// file cannot be read, or no longer reaches the offset to correct.
byte_buffer load_realigned(const std::string &path, int32_t shift, int64_t size) {
    const int32_t offset = std::abs(shift);
    if (size <= offset)
        return {};
    byte_buffer file(static_cast<std::size_t>(size));
    jam_file in;
    if (!in.open(path, "rb") || !in.read_exact(file.data(), file.size()) || !in.close())
        return {};

    if (shift > 0)
        std::printf("  Removing spurious byte 0x%02X ('%c') at .JHR offset %d\n",
                    file[static_cast<std::size_t>(offset)],
                    display_char(file[static_cast<std::size_t>(offset)]), offset);
    else
        std::printf("  Inserting missing zero byte at .JHR offset %d\n", offset);
    byte_buffer image;
    realign(file, shift, image);
    return image;
}

// Replaces the file behind `path` by `image`. When `path` is a link, the file it leads to
// is realigned and the link stays, since the programs sharing the base read through it.
bool replace_file(const std::string &path, const byte_buffer &image, base_lock &lock) {
    const std::string real = real_path(path);
    const bool ok = replace_whole_file(
        real, [&](jam_file &out) { return out.write(image.data(), image.size()); }, real, &lock);
    if (!ok)
        error_line("  ERROR: could not rewrite %s: %s\n", path.c_str(), std::strerror(errno));
    return ok;
}

bool correct_shift(run_context &ctx, int32_t shift) {
    std::printf("\n=== Pre-Repair: JHR Byte-Shift ===\n");
    const int64_t old_size = fsize(ctx.jhr_path);
    const byte_buffer image = load_realigned(ctx.jhr_path, shift, old_size);
    if (image.empty() || !replace_file(ctx.jhr_path, image, ctx.lock))
        return false;
    std::printf("  .JHR rewritten (%" PRId64 " -> %" PRId64 " bytes)\n", old_size,
                static_cast<int64_t>(image.size()));
    std::printf("  Byte-shift corrected - re-reading .JHR\n");
    return true;
}

} // namespace

bool detect_byte_shift(run_context &ctx) {
    const int64_t size = fsize(ctx.jhr_path);
    if (size < static_cast<int64_t>(FIXED_HEADER_SIZE))
        return true;
    byte_buffer head;
    // A header file that exists but cannot be opened must not be judged half-examined.
    if (!read_head(ctx.jhr_path, size, head)) {
        print_open_error(ctx.jhr_path);
        error_line("\nFATAL: Cannot read .JHR fixed header.\n");
        return false;
    }
    if (!worth_examining(head, size))
        return true;
    const int32_t shift = find_shift(head, size);
    if (shift == 0)
        return true;

    ctx.report.shift = shift;
    if (shift > 0)
        add_issue(ctx.report,
                  ".JHR: spurious byte 0x%02X ('%c') at fixed-header offset %d - shifts all "
                  "data after it by +1, corrupting fields and message headers",
                  head[static_cast<std::size_t>(shift)],
                  display_char(head[static_cast<std::size_t>(shift)]), shift);
    else
        add_issue(ctx.report,
                  ".JHR: missing byte at fixed-header offset %d - shifts all data after it "
                  "by -1, corrupting fields and message headers",
                  -shift);
    if (!ctx.options.repair && !ctx.options.pack)
        return true;

    if (!correct_shift(ctx, shift)) {
        error_line("  ERROR: failed to rewrite .JHR\n");
        return false;
    }
    // The list held only the byte-shift issue; the checks now see the realigned file.
    ctx.report = scan_report{};
    return true;
}
