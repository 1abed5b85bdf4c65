// The base builder: derives every field a test does not set and writes the four files.
#include "support/base_builder.h"

#include "format/platform.h"

#include <array>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

const char *const LOWER[] = {"jhr", "jdt", "jdx", "jlr"};
const char *const UPPER[] = {"JHR", "JDT", "JDX", "JLR"};

constexpr uint32_t DEFAULT_DATE = 1700000000; // 2023-11-14 22:13:20 UTC

void set_subfield(std::vector<test_subfield> &sfs, uint16_t LoID, const std::string &data) {
    for (auto &sf : sfs)
        if (sf.LoID == LoID) {
            sf.data = data;
            return;
        }
    sfs.push_back(test_subfield{LoID, 0, data, std::nullopt});
}

} // namespace

std::string read_file(const std::string &path) {
    std::ifstream in(system_path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(system_path(path), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    put_u32le(reinterpret_cast<unsigned char *>(s.data()), v);
    return s;
}

#ifdef _WIN32
// Windows has no mkdtemp: random names are tried until one is created anew.
std::string make_temp_dir() {
    std::random_device random;
    for (int tries = 0; tries < 100; ++tries) {
        const fs::path dir =
            fs::temp_directory_path() / ("cairnfix-test-" + std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(dir, ec))
            return dir.string();
    }
    throw std::runtime_error("cannot create a temporary directory");
}
#else
std::string make_temp_dir() {
    std::string tmpl = (fs::temp_directory_path() / "cairnfix-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}
#endif

test_message::test_message() {
    hdr.Signature = JAM_SIGNATURE;
    hdr.Revision = 1;
    hdr.MSGIDcrc = ALL_ONES;
    hdr.REPLYcrc = ALL_ONES;
    hdr.DateWritten = DEFAULT_DATE;
    hdr.DateProcessed = DEFAULT_DATE;
    hdr.Attribute = MSG_TYPEECHO;
    subfields = {{SF_SENDERNAME, 0, "Alice", std::nullopt},
                 {SF_RECEIVERNAME, 0, "Bob", std::nullopt},
                 {SF_SUBJECT, 0, "Hello", std::nullopt}};
    text = "Hello there.\r";
}

test_message &test_message::from(const std::string &name) {
    set_subfield(subfields, SF_SENDERNAME, name);
    return *this;
}
test_message &test_message::to(const std::string &name) {
    set_subfield(subfields, SF_RECEIVERNAME, name);
    return *this;
}
test_message &test_message::subject(const std::string &s) {
    set_subfield(subfields, SF_SUBJECT, s);
    return *this;
}
test_message &test_message::msgid(const std::string &id) {
    set_subfield(subfields, SF_MSGID, id);
    hdr.MSGIDcrc = jam_crc_buf(id.data(), id.size());
    return *this;
}
test_message &test_message::replyid(const std::string &id) {
    set_subfield(subfields, SF_REPLYID, id);
    hdr.REPLYcrc = jam_crc_buf(id.data(), id.size());
    return *this;
}
test_message &test_message::subfield(uint16_t LoID, const std::string &data, uint16_t HiID) {
    subfields.push_back(test_subfield{LoID, HiID, data, std::nullopt});
    return *this;
}
test_message &test_message::no_subfields() {
    subfields.clear();
    return *this;
}
test_message &test_message::body(const std::string &t) {
    text = t;
    return *this;
}
test_message &test_message::attr(uint32_t bits) {
    hdr.Attribute |= bits;
    return *this;
}
test_message &test_message::links(uint32_t reply_to, uint32_t reply_1st, uint32_t reply_next) {
    hdr.ReplyTo = reply_to;
    hdr.Reply1st = reply_1st;
    hdr.ReplyNext = reply_next;
    return *this;
}
test_message &test_message::text_at(uint32_t offset, uint32_t length) {
    hdr.TxtOffset = offset;
    hdr.TxtLen = length;
    keep_txt_fields = true;
    return *this;
}

std::string test_message::subfield_block() const {
    std::string block;
    for (const auto &sf : subfields) {
        unsigned char h[SUBFIELD_HEADER_SIZE];
        encode_subfield_header(
            subfield_header{sf.LoID, sf.HiID,
                            sf.DatLen.value_or(static_cast<uint32_t>(sf.data.size()))},
            h);
        block.append(reinterpret_cast<const char *>(h), sizeof h);
        block += sf.data;
    }
    return block;
}

base_builder::base_builder(std::string name) : base_builder(make_temp_dir(), std::move(name)) {
    remove_dir_ = true;
}

base_builder::base_builder(std::string dir, std::string name)
    : name_(std::move(name)), dir_(std::move(dir)), remove_dir_(false) {
    fhdr.Signature = JAM_SIGNATURE;
    fhdr.DateCreated = DEFAULT_DATE;
    fhdr.BaseMsgNum = 1;
}

base_builder::~base_builder() {
    if (!remove_dir_)
        return;
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

test_message &base_builder::add_message() {
    return messages.emplace_back();
}

base_builder &base_builder::upper(jam_ext e) {
    upper_[static_cast<int>(e)] = true;
    return *this;
}

base_builder &base_builder::missing(jam_ext e) {
    missing_[static_cast<int>(e)] = true;
    return *this;
}

std::string base_builder::base() const {
    return dir_ + "/" + name_;
}

std::string base_builder::path(jam_ext e) const {
    const int i = static_cast<int>(e);
    return base() + "." + (upper_[i] ? UPPER[i] : LOWER[i]);
}

idx_record base_builder::derived_index(std::size_t i) const {
    idx_record r{ALL_ONES, static_cast<uint32_t>(offsets_.at(i))};
    for (const auto &sf : messages.at(i).subfields) {
        if (sf.LoID != SF_RECEIVERNAME || sf.data.empty())
            continue;
        std::string name = sf.data.substr(0, 100);
        name = name.substr(0, std::strlen(name.c_str()));
        r.UserCRC = jam_crc_buf(name.data(), name.size());
    }
    return r;
}

std::size_t base_builder::record_position(std::size_t i) const {
    std::vector<std::size_t> sorted = holes;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::size_t position = i;
    for (const std::size_t hole : sorted)
        if (hole <= position)
            ++position;
    return position;
}

void base_builder::write() {
    std::string jhr(FIXED_HEADER_SIZE, '\0');
    std::string jdt = jdt_prefix;
    fixed_header fh = fhdr;
    uint32_t live = 0;
    offsets_.clear();
    for (auto &m : messages) {
        if (!(m.hdr.Attribute & MSG_DELETED))
            ++live;
        const std::string block = m.subfield_block();
        msg_header h = m.hdr;
        h.SubfieldLen = m.subfield_len.value_or(static_cast<uint32_t>(block.size()));
        if (!m.keep_txt_fields) {
            h.TxtOffset = m.text.empty() ? 0 : static_cast<uint32_t>(jdt.size());
            h.TxtLen = static_cast<uint32_t>(m.text.size());
        }
        jdt += m.text;
        if (h.MessageNumber == 0)
            h.MessageNumber =
                fh.BaseMsgNum + static_cast<uint32_t>(record_position(offsets_.size()));
        offsets_.push_back(static_cast<int64_t>(jhr.size()));
        unsigned char raw[MSG_HEADER_SIZE];
        encode_msg_header(h, raw);
        jhr.append(reinterpret_cast<const char *>(raw), sizeof raw);
        jhr += block;
    }
    fh.ActiveMsgs = active_msgs.value_or(live);
    encode_fixed_header(fh, reinterpret_cast<unsigned char *>(jhr.data()));

    std::string jdx;
    std::vector<idx_record> records;
    if (index)
        records = *index;
    else
        for (std::size_t i = 0; i < messages.size(); ++i) {
            records.resize(record_position(i), idx_record{ALL_ONES, ALL_ONES});
            records.push_back(derived_index(i));
        }
    if (!index)
        for (const std::size_t hole : holes)
            if (hole >= records.size())
                records.resize(hole + 1, idx_record{ALL_ONES, ALL_ONES});
    for (const auto &r : records) {
        unsigned char raw[IDX_RECORD_SIZE];
        encode_idx_record(r, raw);
        jdx.append(reinterpret_cast<const char *>(raw), sizeof raw);
    }

    std::string jlr;
    for (const auto &r : lastread) {
        unsigned char raw[LASTREAD_RECORD_SIZE];
        encode_lastread_record(r, raw);
        jlr.append(reinterpret_cast<const char *>(raw), sizeof raw);
    }

    const std::string contents[] = {jhr, jdt, jdx, jlr};
    for (int i = 0; i < 4; ++i)
        if (!missing_[i])
            write_file(path(static_cast<jam_ext>(i)), contents[i]);
}

std::string base_builder::bytes(jam_ext e) const {
    return read_file(path(e));
}

void base_builder::set_bytes(jam_ext e, const std::string &content) const {
    write_file(path(e), content);
}

void base_builder::append(jam_ext e, const std::string &more) const {
    set_bytes(e, bytes(e) + more);
}

void base_builder::insert(jam_ext e, std::size_t offset, const std::string &more) const {
    std::string b = bytes(e);
    b.insert(offset, more);
    set_bytes(e, b);
}

void base_builder::erase(jam_ext e, std::size_t offset, std::size_t count) const {
    std::string b = bytes(e);
    b.erase(offset, count);
    set_bytes(e, b);
}

void base_builder::put_u32(jam_ext e, std::size_t offset, uint32_t value) const {
    std::string b = bytes(e);
    if (b.size() < offset + 4)
        b.resize(offset + 4, '\0');
    put_u32le(reinterpret_cast<unsigned char *>(b.data()) + offset, value);
    set_bytes(e, b);
}

uint32_t base_builder::get_u32(jam_ext e, std::size_t offset) const {
    const std::string b = bytes(e);
    if (b.size() < offset + 4)
        throw std::out_of_range("get_u32 past the end of " + path(e));
    return get_u32le(reinterpret_cast<const unsigned char *>(b.data()) + offset);
}

void base_builder::remove(jam_ext e) const {
    std::error_code ec;
    fs::remove(path(e), ec);
}

std::vector<idx_record> index_records(const std::string &jdx) {
    std::vector<idx_record> records;
    for (std::size_t at = 0; at + IDX_RECORD_SIZE <= jdx.size(); at += IDX_RECORD_SIZE)
        records.push_back(
            decode_idx_record(reinterpret_cast<const unsigned char *>(jdx.data()) + at));
    return records;
}

void add_packed_messages(base_builder &b) {
    b.holes = {3, 7, 12};
    const std::vector<std::array<uint32_t, 3>> links = {
        {0, 2, 0},  {1, 0, 3}, {1, 0, 4}, {4, 6, 0},  {5, 0, 0},  {0, 8, 0}, {0, 10, 0},
        {9, 16, 0}, {0, 0, 0}, {0, 0, 0}, {0, 15, 0}, {14, 0, 0}, {10, 0, 0}};
    for (std::size_t i = 0; i < links.size(); ++i)
        b.add_message()
            .to("User " + std::to_string(i))
            .links(links[i][0], links[i][1], links[i][2]);
    b.lastread = {{0x1234, 1, 16, 16}};
}
