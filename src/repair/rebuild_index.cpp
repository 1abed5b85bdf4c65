// The rebuild of .JDX from the message headers in .JHR, and the creation of the empty
// .JDT and .JLR a base without texts or users lacks.
#include "format/files.h"
#include "repair/repair.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t MAX_BLOCK = 131071; // a longer subfield block is not trusted
constexpr std::size_t MAX_NAME = 100;  // bytes of a recipient name that are hashed

// The UserCRC a subfield block gives: the CRC of its last non-empty recipient name, cut
// at 100 bytes and at a NUL, or ALL_ONES when there is none.
uint32_t receiver_crc(const unsigned char *block, uint32_t len) {
    uint32_t crc = ALL_ONES;
    for_each_subfield(block, len, [&](const subfield_header &sf, const unsigned char *data) {
        if (sf.LoID != SF_RECEIVERNAME || sf.DatLen == 0)
            return;
        const std::size_t n = std::min<std::size_t>(sf.DatLen, MAX_NAME);
        const auto *nul = static_cast<const unsigned char *>(std::memchr(data, 0, n));
        crc = jam_crc_buf(data, nul ? static_cast<std::size_t>(nul - data) : n);
    });
    return crc;
}

// The UserCRC of the header at `offset`, or ALL_ONES when the header or its subfield
// block cannot be read or does not look like one.
uint32_t user_crc_at(window_reader &jhr, int64_t offset) {
    msg_header h;
    if (!read_msg_header(jhr, offset, h) || h.Signature != JAM_SIGNATURE || h.SubfieldLen == 0 ||
        h.SubfieldLen > MAX_BLOCK)
        return ALL_ONES;
    const unsigned char *block =
        jhr.at(offset + static_cast<int64_t>(MSG_HEADER_SIZE), h.SubfieldLen);
    return block == nullptr ? ALL_ONES : receiver_crc(block, h.SubfieldLen);
}

// The whole current index (nothing when there is none), kept to put back if the new one
// cannot be written.
bool read_old_index(const std::string &path, std::vector<unsigned char> &old) {
    if (!file_exists(path))
        return true;
    jam_file f;
    if (!f.open(path, "rb"))
        return false;
    const int64_t size = fsize(path);
    if (size < 0)
        return false;
    old.resize(static_cast<std::size_t>(size));
    return old.empty() || f.read_exact(old.data(), old.size());
}

// Writes all bytes in one call and closes; on failure errno tells the first reason.
bool write_and_close(jam_file &f, const std::vector<unsigned char> &bytes) {
    if (!bytes.empty() && !f.write(bytes.data(), bytes.size())) {
        const int reason = errno;
        f.close();
        errno = reason;
        return false;
    }
    return f.close();
}

// Puts `bytes` at the start of an existing file and cuts it to their length. `opened`
// tells whether the file was opened for writing: only then can its content have changed.
bool overwrite(const std::string &path, const std::vector<unsigned char> &bytes, bool &opened) {
    jam_file f;
    opened = f.open(path, "r+b");
    return opened && write_and_close(f, bytes) &&
           portable_truncate(path, static_cast<int64_t>(bytes.size())) == 0;
}

// Writes a new index where there was none, under a temporary name renamed into place: a
// file that could not be written whole never appears, so the base is still seen without an
// index rather than with half of one.
bool create_index(const std::string &path, const std::vector<unsigned char> &records,
                  const std::string &jhr_path) {
    const auto fill = [&](jam_file &out) {
        return records.empty() || out.write(records.data(), records.size());
    };
    if (replace_whole_file(path, fill, jhr_path))
        return true;
    print_write_error(path);
    return false;
}

// Replaces the content of .JDX in place, so that programs holding it open see the new
// index. The file is not cut before the new records are written, so a write that fails
// leaves the old index; if anything after that fails, the old content is written back.
bool replace_index(const std::string &path, const std::vector<unsigned char> &records,
                   const std::string &jhr_path) {
    std::vector<unsigned char> old;
    if (!read_old_index(path, old)) {
        print_open_error(path);
        return false;
    }
    if (!file_exists(path))
        return create_index(path, records, jhr_path);
    bool opened = false;
    if (overwrite(path, records, opened))
        return true;
    print_write_error(path);
    if (opened && !overwrite(path, old, opened))
        error_line("  ERROR: restore of the old index failed on %s: %s\n", path.c_str(),
                   std::strerror(errno));
    return false;
}

// The first header a .JDX record cannot point at (HdrOffset has 32 bits), or -1.
int64_t first_unindexable(const msg_table_type &table) {
    for (const msg_info &m : table)
        if (m.hdr_offset > static_cast<int64_t>(ALL_ONES))
            return m.hdr_offset;
    return -1;
}

// Created exclusively: a link left under the missing file's name is never written through.
// The file gets the owner, group and mode of the .JHR, so the programs that share the base
// can write it.
void create_empty(const std::string &path, const std::string &jhr_path) {
    jam_file f;
    if (f.create_new(path, jhr_path) && f.close())
        return;
    error_line("  WARN: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
}

} // namespace

void rebuild_section(run_context &ctx) {
    std::printf("\n=== Rebuilding .JDX ===\n");
    if (!ctx.table_valid)
        return;
    // An existing index still points at the headers past an early stop; one rebuilt from
    // the partial walk would lose them.
    if (ctx.walk_stop_offset >= 0 && ctx.index_has_records())
        std::printf("  Keeping .JDX: header walk stopped at offset %" PRId64 "\n",
                    ctx.walk_stop_offset);
    else
        rebuild_index(ctx);
}

void rebuild_index(run_context &ctx) {
    std::printf("  Rebuilding .JDX (%" PRId64 " entries)...\n", ctx.msg_count);
    // An index with a header it cannot name would send readers to the wrong message; the
    // index as it stands is kept, and since nothing was rebuilt the fixed header is not
    // written either.
    if (const int64_t offset = first_unindexable(ctx.msg_table); offset >= 0) {
        error_line("  ERROR: header at .JHR offset %" PRId64
                   " is beyond the reach of a .JDX record; index not rebuilt\n",
                   offset);
        return;
    }
    // Every header found gets its record, also those past the entries the checks cover,
    // and a deleted header keeps its name and offset like any other.
    jam_file jhr;
    if (jhr.open(ctx.jhr_path, "rb")) {
        window_reader headers(jhr);
        std::vector<unsigned char> records(ctx.msg_table.size() * IDX_RECORD_SIZE);
        for (std::size_t i = 0; i < ctx.msg_table.size(); ++i) {
            const int64_t offset = ctx.msg_table[i].hdr_offset;
            const idx_record r{user_crc_at(headers, offset), static_cast<uint32_t>(offset)};
            encode_idx_record(r, records.data() + i * IDX_RECORD_SIZE);
        }
        jhr.close();
        if (replace_index(ctx.jdx_path, records, ctx.jhr_path))
            std::printf("  Wrote %zu records\n", ctx.msg_table.size());
    } else {
        print_open_error(ctx.jhr_path);
    }
    write_fhdr(ctx.jhr_path, ctx.fhdr);
}

void create_missing_files(run_context &ctx) {
    if (!ctx.jdt_found) {
        std::printf("  Creating empty .JDT\n");
        create_empty(ctx.jdt_path, ctx.jhr_path);
    }
    if (!ctx.jlr_found) {
        std::printf("  Creating empty .JLR\n");
        create_empty(ctx.jlr_path, ctx.jhr_path);
    }
}
