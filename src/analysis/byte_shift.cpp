// Recognises a .JHR whose fixed header gained or lost one byte near its start, and in
// repair or pack mode realigns the file in place before anything else reads it; finishes a
// realignment that a crash interrupted.
#include "analysis/analysis.h"
#include "format/platform.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

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

// Appends bytes `from` to `to` of `in` to `out`. A file that ends early fails with EIO.
bool copy_range(jam_file &in, int64_t from, int64_t to, jam_file &out, byte_buffer &chunk) {
    while (from < to) {
        const auto want = static_cast<std::size_t>(std::min<int64_t>(to - from, COPY_CHUNK));
        if (in.read_at(from, chunk.data(), want) != want) {
            errno = EIO;
            return false;
        }
        if (!out.write(chunk.data(), want))
            return false;
        from += static_cast<int64_t>(want);
    }
    return true;
}

// Writes the .JHR of `size` bytes realigned into `out`: without its byte at `shift`, or
// with a zero byte inserted at -shift.
bool write_realigned(const std::string &path, int32_t shift, int64_t size, jam_file &out) {
    const int64_t at = std::abs(shift);
    byte_buffer chunk(COPY_CHUNK);
    jam_file in;
    try {
        if (!in.open(path, "rb") || !copy_range(in, 0, at, out, chunk))
            return false;
        const unsigned char zero = 0;
        if (shift < 0)
            return out.write(&zero, 1) && copy_range(in, at, size, out, chunk);
        return copy_range(in, at + 1, size, out, chunk);
    } catch (const read_error &e) {
        errno = e.error; // the redo file is abandoned and the .JHR is untouched
        return false;
    }
}

// Realigns the .JHR in place, announcing the change first.
rewrite_outcome correct_shift(run_context &ctx, int32_t shift) {
    std::printf("\n=== Pre-Repair: JHR Byte-Shift ===\n");
    const int64_t old_size = fsize(ctx.jhr_path);
    const int32_t offset = std::abs(shift);
    unsigned char removed = 0;
    try {
        jam_file jhr;
        if (old_size <= offset || !jhr.open(ctx.jhr_path, "rb") ||
            jhr.read_at(offset, &removed, 1) != 1)
            return rewrite_outcome::untouched;
    } catch (const read_error &) {
        return rewrite_outcome::untouched; // nothing was written yet
    }
    if (shift > 0)
        std::printf("  Removing spurious byte 0x%02X ('%c') at .JHR offset %d\n", removed,
                    display_char(removed), offset);
    else
        std::printf("  Inserting missing zero byte at .JHR offset %d\n", offset);
    const rewrite_outcome outcome = rewrite_in_place(ctx.jhr_path, [&](jam_file &out) {
        return write_realigned(ctx.jhr_path, shift, old_size, out);
    });
    if (outcome != rewrite_outcome::done) {
        error_line("  ERROR: could not rewrite %s: %s\n", terminal_text(ctx.jhr_path).c_str(),
                   std::strerror(errno));
        return outcome;
    }
    std::printf("  .JHR rewritten (%" PRId64 " -> %" PRId64 " bytes)\n", old_size,
                old_size - (shift > 0 ? 1 : -1));
    std::printf("  Byte-shift corrected - re-reading .JHR\n");
    return outcome;
}

// Whether a complete redo file of an interrupted realignment stands beside the .JHR. Only
// a regular file counts: a link planted under the name is never copied into the base.
bool realignment_waits(const std::string &jhr_path) {
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(system_path(redo_path(jhr_path)), ec));
}

} // namespace

bool finish_interrupted_realignment(run_context &ctx) {
    const std::string redo = redo_path(ctx.jhr_path);
    remove_leftover(redo + ".tmp");
    if (!realignment_waits(ctx.jhr_path))
        return true;
    // While the copy runs, the .JHR is at most one byte longer or shorter than the image. A
    // larger difference means that another program wrote to it since, and a copy would
    // lose what it wrote.
    const int64_t size = fsize(ctx.jhr_path), image = fsize(redo);
    if (size < image - 1 || size > image + 1) {
        error_line("\nFATAL: %s has changed since its realignment was interrupted; compare it "
                   "with %s before removing either.\n",
                   terminal_text(ctx.jhr_path).c_str(), terminal_text(redo).c_str());
        return false;
    }
    std::printf("\nFinishing an interrupted realignment of %s\n",
                terminal_text(ctx.jhr_path).c_str());
    if (apply_redo(ctx.jhr_path))
        return true;
    error_line("  ERROR: could not rewrite %s: %s\n", terminal_text(ctx.jhr_path).c_str(),
               std::strerror(errno));
    error_line("  ERROR: failed to rewrite .JHR\n");
    return false;
}

bool detect_byte_shift(run_context &ctx) {
    const bool writes = ctx.options.repair || ctx.options.pack;
    // A repair run has finished it before anything read the .JHR.
    if (!writes && realignment_waits(ctx.jhr_path))
        RAISE_ISSUE(ctx.report, jhr_realignment_waits,
                    terminal_text(redo_path(ctx.jhr_path)).c_str());
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
        RAISE_ISSUE(ctx.report, jhr_spurious_byte, head[static_cast<std::size_t>(shift)],
                    display_char(head[static_cast<std::size_t>(shift)]), shift);
    else
        RAISE_ISSUE(ctx.report, jhr_missing_byte, -shift);
    if (!writes)
        return true;

    const rewrite_outcome outcome = correct_shift(ctx, shift);
    if (outcome != rewrite_outcome::done) {
        error_line("  ERROR: failed to rewrite .JHR\n");
        if (outcome == rewrite_outcome::redo_kept)
            error_line(
                "  The realigned .JHR waits in %s; the next run with -r or -p copies it in.\n",
                terminal_text(redo_path(ctx.jhr_path)).c_str());
        return false;
    }
    // The list held only the byte-shift issue; the checks now see the realigned file.
    ctx.report = scan_report{};
    return true;
}
