// Composes JAM bases from a few lines of code: for the tests (in a temporary directory),
// the example bases, the benchmark and the fuzz seeds.
//
//   base_builder b;                        // fixed header with sane defaults
//   b.add_message().to("Bob");             // a live message with From/To/Subject and a text
//   b.add_message().deleted();
//   b.write();                             // .JHR, .JDT, .JDX (derived) and .JLR
//   b.append(jam_ext::jdx, {0x00});        // then damage any file byte by byte
//
// Everything not set is derived: SubfieldLen, TxtOffset/TxtLen, ActiveMsgs, the index.
#pragma once

#include "format/jam.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class jam_ext { jhr, jdt, jdx, jlr };

struct test_subfield {
    uint16_t LoID = 0;
    uint16_t HiID = 0;
    std::string data;
    std::optional<uint32_t> DatLen; // stored instead of data.size() when set
};

struct test_message {
    msg_header hdr;
    std::vector<test_subfield> subfields;
    std::string text;
    std::optional<uint32_t> subfield_len; // stored instead of the real block size when set
    bool keep_txt_fields = false;         // keep hdr.TxtOffset/TxtLen as set by the test

    test_message();
    test_message &from(const std::string &name);    // replaces SENDERNAME
    test_message &to(const std::string &name);      // replaces RECEIVERNAME
    test_message &subject(const std::string &text); // replaces SUBJECT
    test_message &msgid(const std::string &id);     // MSGID subfield and matching MSGIDcrc
    test_message &replyid(const std::string &id);   // REPLYID subfield and matching REPLYcrc
    test_message &subfield(uint16_t LoID, const std::string &data, uint16_t HiID = 0);
    test_message &no_subfields();
    test_message &body(const std::string &text);
    test_message &attr(uint32_t bits); // ORs bits into Attribute
    test_message &deleted() { return attr(MSG_DELETED); }
    test_message &links(uint32_t reply_to, uint32_t reply_1st, uint32_t reply_next);
    test_message &text_at(uint32_t offset, uint32_t length); // stores these TxtOffset/TxtLen

    // The subfield block as it will be written.
    std::string subfield_block() const;
};

class base_builder {
  public:
    // A base in a fresh temporary directory that is removed with the builder.
    explicit base_builder(std::string name = "base");
    // A base written into an existing directory that outlives the builder (generators).
    base_builder(std::string dir, std::string name);
    ~base_builder();
    base_builder(const base_builder &) = delete;
    base_builder &operator=(const base_builder &) = delete;

    fixed_header fhdr;                   // Signature, DateCreated, BaseMsgNum 1 set
    std::optional<uint32_t> active_msgs; // ActiveMsgs; default: live messages counted
    std::vector<test_message> messages;
    std::optional<std::vector<idx_record>> index; // default: derived from the messages
    // Positions in the derived index that hold a hole (all ones), as a pack leaves where it
    // removed a message; the messages after a hole are numbered past it.
    std::vector<std::size_t> holes;
    std::vector<lastread_record> lastread;
    std::string jdt_prefix; // bytes placed in .JDT before the texts

    test_message &add_message();
    // Upper-case extension for one file, or leave a file out entirely.
    base_builder &upper(jam_ext e);
    base_builder &missing(jam_ext e);

    // Writes the four files (those not missing); offsets of headers are known afterwards.
    void write();

    const std::string &dir() const { return dir_; }
    std::string base() const;          // directory/name, what the tool is given
    std::string path(jam_ext e) const; // the file as written
    int64_t header_offset(std::size_t i) const { return offsets_.at(i); }
    // The position of a message's record in the derived index, from which its number comes.
    std::size_t record_position(std::size_t i) const;

    // Raw edits on a written file.
    std::string bytes(jam_ext e) const;
    void set_bytes(jam_ext e, const std::string &content) const;
    void append(jam_ext e, const std::string &more) const;
    void insert(jam_ext e, std::size_t offset, const std::string &more) const;
    void erase(jam_ext e, std::size_t offset, std::size_t count) const;
    void put_u32(jam_ext e, std::size_t offset, uint32_t value) const;
    uint32_t get_u32(jam_ext e, std::size_t offset) const;
    void remove(jam_ext e) const;

    // The index record the tool derives for a message (RECEIVERNAME CRC, header offset).
    idx_record derived_index(std::size_t i) const;

  private:
    std::string name_;
    std::string dir_;
    bool remove_dir_ = true;
    bool upper_[4] = {};
    bool missing_[4] = {};
    std::vector<int64_t> offsets_;
};

// Reads a whole file; empty when it does not exist. Names are UTF-8, as the tool's are.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// Little-endian bytes of a value, for raw edits.
std::string le32(uint32_t v);
// The whole records of an index file's bytes.
std::vector<idx_record> index_records(const std::string &jdx);
// A fresh temporary directory, removed by the caller (or by base_builder).
std::string make_temp_dir();

// Thirteen messages numbered 1..16 around holes at 4, 8 and 13, as a tosser's pack leaves
// them: three links name removed messages, #10's Reply1st=16 and the rest are sound, and
// one last-read record points at #16.
void add_packed_messages(base_builder &b);
