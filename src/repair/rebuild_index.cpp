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

// The records of the new index. Where the numbers come from the records' positions (a
// pack left holes), every record stays where it is and a hole stays a hole, so that no
// message changes its number; else record i belongs to the i-th header.
std::vector<unsigned char> new_index(const run_context &ctx) {
    const msg_table_type &table = ctx.msg_table;
    const std::size_t count = ctx.numbered_by_index() ? ctx.header_of_record.size() : table.size();
    std::vector<unsigned char> records(count * IDX_RECORD_SIZE);
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = ctx.numbered_by_index() ? ctx.header_of_record[j] : j;
        idx_record r{ALL_ONES, ALL_ONES};
        if (i != NO_POSITION)
            r = idx_record{table[i].user_crc, static_cast<uint32_t>(table[i].hdr_offset)};
        encode_idx_record(r, records.data() + j * IDX_RECORD_SIZE);
    }
    return records;
}

// What a failed rewrite of the index needs to put the old one back: its length, and its
// bytes over the length the new index is written to; the rewrite never touches the rest.
struct old_index {
    std::vector<unsigned char> head;
    int64_t size = 0;
};

// Reads the part of the current index that writing `overwritten` bytes would replace
// (nothing when there is no index).
bool read_old_index(const std::string &path, std::size_t overwritten, old_index &old) {
    if (!file_exists(path))
        return true;
    jam_file f;
    if (!f.open(path, "rb"))
        return false;
    old.size = fsize(path);
    if (old.size < 0)
        return false;
    old.head.resize(std::min(static_cast<std::size_t>(old.size), overwritten));
    return old.head.empty() || f.read_exact(old.head.data(), old.head.size());
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

// Puts `bytes` at the start of an existing file and cuts it to `length`. `opened` tells
// whether the file was opened for writing: only then can its content have changed.
bool overwrite(const std::string &path, const std::vector<unsigned char> &bytes, int64_t length,
               bool &opened) {
    jam_file f;
    opened = f.open(path, "r+b");
    return opened && write_and_close(f, bytes) && portable_truncate(path, length) == 0;
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
    old_index old;
    if (!read_old_index(path, records.size(), old)) {
        print_open_error(path);
        return false;
    }
    if (!file_exists(path))
        return create_index(path, records, jhr_path);
    bool opened = false;
    if (overwrite(path, records, static_cast<int64_t>(records.size()), opened))
        return true;
    print_write_error(path);
    if (opened && !overwrite(path, old.head, old.size, opened))
        error_line("  ERROR: restore of the old index failed on %s: %s\n",
                   terminal_text(path).c_str(), std::strerror(errno));
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
    error_line("  WARN: cannot create %s: %s\n", terminal_text(path).c_str(), std::strerror(errno));
}

} // namespace

void rebuild_section(run_context &ctx, const repair_plan &plan) {
    std::printf("\n=== Rebuilding .JDX ===\n");
    if (plan.rebuild_index == skip_reason::walk_stopped)
        std::printf("  Keeping .JDX: header walk stopped at offset %" PRId64 "\n",
                    plan.walk_stop_offset);
    else if (plan.rebuild_index == skip_reason::none)
        rebuild_index(ctx);
}

void rebuild_index(run_context &ctx) {
    std::printf("  Rebuilding .JDX (%" PRId64 " entries)...\n", ctx.msg_count);
    // An index with a header it cannot name would send readers to the wrong message: the
    // index as it stands is kept, and the fixed header is not written.
    if (const int64_t offset = first_unindexable(ctx.msg_table); offset >= 0) {
        error_line("  ERROR: header at .JHR offset %" PRId64
                   " is beyond the reach of a .JDX record; index not rebuilt\n",
                   offset);
        return;
    }
    // A deleted header keeps its name and offset like any other, and the headers past the
    // entries the checks cover get theirs too (new_index says where each record goes). A
    // UserCRC is the one the scan computed from the recipient name, all ones where the
    // subfield block was longer than SF_INDEXED_BLOCK_MAX and not trusted for the name. The fixed
    // header is written (its ModCounter advanced) also when the new index could not be written.
    std::vector<unsigned char> records = new_index(ctx);
    if (replace_index(ctx.jdx_path, records, ctx.jhr_path))
        std::printf("  Wrote %zu records\n", records.size() / IDX_RECORD_SIZE);
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
