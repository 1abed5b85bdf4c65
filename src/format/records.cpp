// Records in place: reads through a window, changed records written back a page at a
// time, and the two records read and written whole (a message header, the fixed header).
#include "format/files.h"

#include "format/jam.h"

#include <algorithm>

const unsigned char *window_reader::at(int64_t offset, std::size_t n) {
    if (offset >= start_ && static_cast<uint64_t>(offset - start_) + n <= filled_)
        return buf_.data() + (offset - start_);
    const std::size_t want = std::max(window_, n);
    if (buf_.size() < want)
        buf_.resize(want);
    start_ = offset;
    filled_ = f_.read_at(offset, buf_.data(), want);
    return filled_ >= n ? buf_.data() : nullptr;
}

namespace {

constexpr int64_t PAGE_SIZE = 4096;

int64_t page_of(int64_t offset) {
    return offset / PAGE_SIZE;
}

} // namespace

void record_writer::stage(int64_t offset, const unsigned char *bytes, std::size_t n) {
    const int64_t end = offset + static_cast<int64_t>(n);
    const bool one_page = page_of(offset) == page_of(end - 1);
    // A record before the furthest one staged is out of file order: the window's bytes
    // around it may predate a write of this run, so it cannot share one.
    const bool in_order = offset >= staged_end_;
    const int64_t batch_end = start_ + static_cast<int64_t>(batch_.size());
    const unsigned char *between = nullptr;
    if (records_ > 0 && in_order && one_page && page_of(offset) == page_of(start_))
        between = r_.at(batch_end, static_cast<std::size_t>(offset - batch_end));
    if (between != nullptr) {
        batch_.insert(batch_.end(), between, between + (offset - batch_end));
    } else {
        flush();
        start_ = offset;
    }
    batch_.insert(batch_.end(), bytes, bytes + n);
    ++records_;
    staged_end_ = std::max(staged_end_, end);
    if (!one_page || !in_order)
        flush();
}

void record_writer::flush() {
    if (records_ == 0)
        return;
    if (f_.write_at(start_, batch_.data(), batch_.size()))
        written_ += records_;
    else
        print_write_error(f_.path());
    batch_.clear();
    records_ = 0;
}

bool read_msg_header(window_reader &r, int64_t offset, msg_header &h) {
    const unsigned char *raw = r.at(offset, MSG_HEADER_SIZE);
    if (raw == nullptr)
        return false;
    h = decode_msg_header(raw);
    return true;
}

bool write_fhdr(const std::string &path, fixed_header &fhdr) {
    fhdr.ModCounter = fhdr.ModCounter == ALL_ONES ? 0 : fhdr.ModCounter + 1;
    jam_file f;
    if (!f.open(path, "r+b")) {
        print_open_error(path);
        return false;
    }
    unsigned char image[FIXED_HEADER_SIZE];
    encode_fixed_header(fhdr, image);
    if (!f.write(image, sizeof image) || !f.close()) {
        print_write_error(path);
        return false;
    }
    return true;
}
