// Splitting fuzz inputs into bases and back.
#include "fuzz_input.h"

#include "format/jam.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {
const char *const LOWER[] = {"jhr", "jdt", "jdx", "jlr"};
const char *const UPPER[] = {"JHR", "JDT", "JDX", "JLR"};
constexpr std::size_t HEAD = 13;
} // namespace

fuzz_base split_input(const uint8_t *data, std::size_t size) {
    fuzz_base base;
    if (size < HEAD) {
        base.files[0].assign(reinterpret_cast<const char *>(data), size);
        return base;
    }
    std::size_t at = HEAD;
    for (int i = 0; i < 3; ++i) {
        const std::size_t want = get_u32le(data + 4 * i);
        const std::size_t len = std::min(want, size - at);
        base.files[i].assign(reinterpret_cast<const char *>(data + at), len);
        at += len;
    }
    base.files[3].assign(reinterpret_cast<const char *>(data + at), size - at);
    for (int i = 0; i < 4; ++i) {
        base.missing[i] = (data[12] >> i) & 1;
        base.upper[i] = (data[12] >> (4 + i)) & 1;
    }
    base.missing[0] = false; // without a .JHR the run stops at once
    return base;
}

std::string join_input(const fuzz_base &base) {
    std::string out(HEAD, '\0');
    unsigned char *head = reinterpret_cast<unsigned char *>(out.data());
    for (int i = 0; i < 3; ++i)
        put_u32le(head + 4 * i, static_cast<uint32_t>(base.files[i].size()));
    for (int i = 0; i < 4; ++i)
        head[12] = static_cast<unsigned char>(head[12] | (base.missing[i] << i) |
                                              (base.upper[i] << (4 + i)));
    for (const auto &f : base.files)
        out += f;
    return out;
}

void write_base(const std::string &dir, const fuzz_base &base) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
        std::filesystem::remove_all(entry.path(), ec);
    for (int i = 0; i < 4; ++i) {
        if (base.missing[i])
            continue;
        std::ofstream out(dir + "/b." + (base.upper[i] ? UPPER[i] : LOWER[i]), std::ios::binary);
        out.write(base.files[i].data(), static_cast<std::streamsize>(base.files[i].size()));
    }
}
