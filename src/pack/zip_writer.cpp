#include "zip_writer.h"

#include <zlib.h>

#include <array>
#include <cstring>

namespace pack {

namespace {

constexpr std::uint64_t zip32_limit = 0xFFFFFFFFull;  // no ZIP64 records are written

struct Written {
    std::string name;
    std::uint32_t crc;
    std::uint32_t size;
    std::uint32_t offset;
};

void put16(std::string& b, unsigned v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

std::string signature(unsigned third, unsigned fourth) {
    return std::string{'P', 'K', static_cast<char>(third), static_cast<char>(fourth)};
}

// Version 1.0, no flags, stored, 1980-01-01 00:00 (so bundles are
// reproducible), then CRC and both sizes.
void put_common(std::string& b, const Written& w) {
    put16(b, 10);
    put16(b, 0);
    put16(b, 0);
    put16(b, 0);
    put16(b, (0 << 9) | (1 << 5) | 1);
    put32(b, w.crc);
    put32(b, w.size);
    put32(b, w.size);
    put16(b, static_cast<unsigned>(w.name.size()));
    put16(b, 0);
}

std::string local_header(const Written& w) {
    std::string b = signature(3, 4);
    put_common(b, w);
    return b + w.name;
}

std::string central_entry(const Written& w) {
    std::string b = signature(1, 2);
    put16(b, 10);  // made by: MS-DOS attributes, version 1.0
    put_common(b, w);
    put16(b, 0);  // comment length
    put16(b, 0);  // disk number
    put16(b, 0);  // internal attributes
    put32(b, 0);  // external attributes
    put32(b, w.offset);
    return b + w.name;
}

std::string end_record(std::size_t count, std::uint32_t size, std::uint32_t offset, const std::string& comment) {
    std::string b = signature(5, 6);
    put16(b, 0);
    put16(b, 0);
    put16(b, static_cast<unsigned>(count));
    put16(b, static_cast<unsigned>(count));
    put32(b, size);
    put32(b, offset);
    put16(b, static_cast<unsigned>(comment.size()));
    return b + comment;
}

class Output {
public:
    explicit Output(std::FILE* out) : out_(out) {}
    bool write(const void* data, std::size_t length) {
        position_ += length;
        return std::fwrite(data, 1, length, out_) == length;
    }
    bool write(const std::string& s) { return write(s.data(), s.size()); }
    std::uint64_t position() const { return position_; }

private:
    std::FILE* out_;
    std::uint64_t position_ = 0;
};

// Reads a whole file through fn, chunk by chunk; false on a read error.
template <typename Fn>
bool each_chunk(const std::string& path, Fn fn) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return false;
    std::array<unsigned char, 1 << 16> buffer;
    std::size_t n;
    bool ok = true;
    while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) ok = fn(buffer.data(), n);
    ok = ok && !std::ferror(in);
    std::fclose(in);
    return ok;
}

std::string add_member(Output& out, const Member& m, std::vector<Written>& done) {
    Written w{m.name, 0, 0, static_cast<std::uint32_t>(out.position())};
    std::uint64_t size = 0;
    if (!each_chunk(m.path, [&](const unsigned char* p, std::size_t n) {
            w.crc = static_cast<std::uint32_t>(::crc32(w.crc, p, static_cast<uInt>(n)));
            size += n;
            return size < zip32_limit;
        }))
        return size >= zip32_limit ? m.path + ": 4 GiB or larger, too large for a bundle" : m.path + ": cannot be read";
    w.size = static_cast<std::uint32_t>(size);
    if (!out.write(local_header(w))) return "write failed";
    std::uint64_t copied = 0;
    if (!each_chunk(m.path, [&](const unsigned char* p, std::size_t n) {
            copied += n;
            return copied <= size && out.write(p, n);
        }) ||
        copied != size)
        return m.path + ": changed while it was being packed, or the write failed";
    done.push_back(w);
    if (out.position() >= zip32_limit) return "the bundle would be 4 GiB or larger";
    return "";
}

}  // namespace

std::string unsafe_name_reason(const std::string& name) {
    if (name.empty()) return "empty entry name";
    if (name.size() > 0xFFFF) return "entry name too long";
    if (name.find('\0') != std::string::npos) return "entry name with a NUL byte";
    if (name[0] == '/') return "absolute entry name";
    if (name.find('\\') != std::string::npos) return "entry name with a backslash";
    if (name.size() >= 2 && name[1] == ':') return "entry name with a drive prefix";
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return "entry name with a '..' component";
        start = end + 1;
    }
    return "";
}

std::string write_bundle(std::FILE* file, const std::string& stub, const std::vector<Member>& members,
                         const std::string& comment) {
    const std::string local_signature = signature(3, 4);
    if (comment.size() > 0xFFFF) return "an archive comment of more than 65535 bytes";
    // The program's walk looks for entries to the very end of the file.
    if (comment.find(local_signature) != std::string::npos)
        return "the archive comment holds a ZIP local header signature, so the program would find a false entry in it";
    Output out(file);
    std::string tail;  // the last bytes of the previous chunk, so a signature split across chunks is seen
    bool clean = true;
    if (!each_chunk(stub, [&](const unsigned char* p, std::size_t n) {
            std::string window = tail + std::string(reinterpret_cast<const char*>(p), n);
            if (window.find(local_signature) != std::string::npos) clean = false;
            tail = window.substr(window.size() >= 3 ? window.size() - 3 : 0);
            return clean && out.write(p, n);
        }))
        return clean ? stub + ": cannot be read" : stub + ": the stub holds a ZIP local header signature, "
                                                          "so the program would find a false entry in itself";
    std::vector<Written> done;
    if (members.size() > 0xFFFF) return "more than 65535 files";
    for (const Member& m : members) {
        std::string problem = add_member(out, m, done);
        if (!problem.empty()) return problem;
    }
    std::uint64_t directory = out.position();
    for (const Written& w : done)
        if (!out.write(central_entry(w))) return "write failed";
    std::uint64_t directory_size = out.position() - directory;
    if (out.position() + 22 + comment.size() > zip32_limit) return "the bundle would be 4 GiB or larger";
    if (!out.write(end_record(done.size(), static_cast<std::uint32_t>(directory_size),
                              static_cast<std::uint32_t>(directory), comment)))
        return "write failed";
    return std::fflush(file) == 0 ? "" : "write failed";
}

}  // namespace pack
