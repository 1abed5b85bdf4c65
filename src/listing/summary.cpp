// The message summary table: the first live messages in index order, read afresh from
// .JDX and .JHR so that it shows the base as the repairs and the rebuild left it.
#include "format/files.h"
#include "listing/listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct row_texts {
    std::string from = "?";
    std::string to = "?";
    std::string subject = "(none)";
};

// Takes From, To and Subject out of a subfield block; the last non-empty subfield of a
// kind wins. A subfield that claims more bytes than the block holds ends the walk, and
// what was taken before it stays.
void collect_texts(const unsigned char *block, uint32_t len, row_texts &texts) {
    for_each_subfield(block, len, [&](const subfield_header &sf, const unsigned char *data) {
        std::string *target = sf.LoID == SF_SENDERNAME     ? &texts.from
                              : sf.LoID == SF_RECEIVERNAME ? &texts.to
                              : sf.LoID == SF_SUBJECT      ? &texts.subject
                                                           : nullptr;
        if (target == nullptr || sf.DatLen == 0)
            return;
        const std::size_t n = sf_text_len(data, sf.DatLen);
        target->clear();
        for (std::size_t i = 0; i < n; ++i)
            target->push_back(terminal_char(data[i]));
    });
}

// Reads the header an index record points at. False when the record is to be skipped:
// a deleted slot, an offset outside the message area, a short read, a foreign signature
// or a deleted message.
bool read_live_header(window_reader &jhr, const idx_record &rec, int64_t jhr_size,
                      msg_header &hdr) {
    if (is_deleted_slot(rec))
        return false;
    if (rec.HdrOffset < FIXED_HEADER_SIZE || static_cast<int64_t>(rec.HdrOffset) >= jhr_size)
        return false;
    if (!read_msg_header(jhr, rec.HdrOffset, hdr))
        return false;
    return hdr.Signature == JAM_SIGNATURE && !(hdr.Attribute & MSG_DELETED);
}

} // namespace

void print_summary(run_context &ctx) {
    jam_file jhr, jdx;
    if (!jhr.open(ctx.jhr_path, "rb")) {
        print_open_error(ctx.jhr_path);
        return;
    }
    if (!jdx.open(ctx.jdx_path, "rb")) {
        print_open_error(ctx.jdx_path);
        return;
    }

    std::printf("\n=== Message Summary (first %d active) ===\n", SUMMARY_ROWS);
    std::printf("  %-6s %-6s %-20s %-20s %-30s %s\n", "Idx", "#", "From", "To", "Subject",
                "Written");
    std::printf("  %s\n", std::string(79, '-').c_str());

    // Measured now, so that a rebuilt index is listed at its new length.
    const int64_t records =
        std::max<int64_t>(fsize(ctx.jdx_path), 0) / static_cast<int64_t>(IDX_RECORD_SIZE);
    int shown = 0;
    // Each header and each block read is exactly what is asked for: the index may send the
    // table anywhere in .JHR, past any number of deleted messages, and a window around
    // every header it skips would cost far more than the header itself.
    window_reader headers(jhr, 0);
    window_reader index(jdx);
    for (int64_t j = 0; j < records && shown < SUMMARY_ROWS; ++j) {
        const unsigned char *raw = index.at(j * int64_t{IDX_RECORD_SIZE}, IDX_RECORD_SIZE);
        if (raw == nullptr)
            break;
        msg_header hdr;
        const idx_record rec = decode_idx_record(raw);
        if (!read_live_header(headers, rec, ctx.jhr_size, hdr))
            continue;

        row_texts texts;
        // The subfield block follows the header directly.
        if (hdr.SubfieldLen >= 1 && hdr.SubfieldLen <= SF_SUMMARY_BLOCK_MAX) {
            const unsigned char *block = headers.at(static_cast<int64_t>(rec.HdrOffset) +
                                                        static_cast<int64_t>(MSG_HEADER_SIZE),
                                                    hdr.SubfieldLen);
            if (block != nullptr)
                collect_texts(block, hdr.SubfieldLen, texts);
        }
        std::printf("  %-6" PRId64 " %-6u %-20.20s %-20.20s %-30.30s %s\n", j,
                    msg_number(ctx.fhdr.BaseMsgNum, static_cast<uint64_t>(j)), texts.from.c_str(),
                    texts.to.c_str(), texts.subject.c_str(), fmt_ts(hdr.DateWritten).c_str());
        ++shown;
    }
    std::printf("  (%d shown)\n", shown);
}
