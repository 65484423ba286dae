// The archive walk over signed programs: a certificate table that closes
// the file ends the archive; anything else about it changes nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "payload/image.h"
#include "payload/pe_table.h"
#include "payload/scanner.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes local_header(const std::string& name, const std::string& data) {
    Bytes b(30 + name.size());
    b[0] = 0x50; b[1] = 0x4B; b[2] = 3; b[3] = 4;
    put32(b, 18, data.size());
    put16(b, 26, static_cast<unsigned>(name.size()));
    std::memcpy(b.data() + 30, name.data(), name.size());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// The headers of a program: DOS header, PE signature, file header and an
// optional header of the given kind with `directories` data directories.
Bytes program(bool plus = false, unsigned directories = 16) {
    const std::size_t pe = 0x80, optional = pe + 24, size = plus ? 240 : 224;
    Bytes b(optional + size + 0x100, 0);
    b[0] = 'M'; b[1] = 'Z';
    put32(b, 0x3C, pe);
    b[pe] = 'P'; b[pe + 1] = 'E';
    put16(b, pe + 20, static_cast<unsigned>(size));
    put16(b, optional, plus ? 0x20B : 0x10B);
    put32(b, optional + (plus ? 108 : 92), directories);
    return b;
}

// Sets the security directory of a program made above.
void point_table(Bytes& b, std::uint64_t offset, std::uint64_t length) {
    const std::size_t optional = 0x80 + 24;
    const std::size_t entry = optional + (b[optional + 1] == 0x02 ? 112 : 96) + 4 * 8;
    put32(b, entry, offset);
    put32(b, entry + 4, length);
}

// A table whose bytes hold a header signature and what a walk into it
// would take for an entry.
Bytes table_with_false_header() {
    Bytes t(16, 0x30);
    return t + local_header("false.bin", "from the signature") + Bytes(8, 0);
}

// A signed bundle: the program, its archive, then the table, the
// directory pointing at it.
Bytes signed_bundle(Bytes stub, const Bytes& archive, const Bytes& table, const Bytes& after = {}) {
    std::uint64_t at = stub.size() + archive.size();
    point_table(stub, at, table.size());
    return stub + archive + table + after;
}

class SignedWalk : public ::testing::Test {
protected:
    Bytes bytes;

    std::vector<std::string> walk(const Bytes& b, int* last) {
        bytes = b;
        payload::image = {};
        payload::image.base = bytes.data();
        payload::image.size = static_cast<std::uint32_t>(bytes.size());
        payload::cursor = {};
        std::vector<std::string> names;
        int result;
        while ((result = payload::scan_next_entry()) == payload::scan_entry) names.push_back(payload::current.name);
        *last = result;
        return names;
    }

    void TearDown() override { payload::image = {}; }
};

const Bytes archive = local_header("image.bin", "qUoRdaViNe firmware") + local_header("notes.txt", "notes");
const std::vector<std::string> archived{"image.bin", "notes.txt"};

TEST_F(SignedWalk, TableClosingTheFileEndsTheArchive) {
    for (bool plus : {false, true}) {
        int last = -1;
        EXPECT_EQ(walk(signed_bundle(program(plus), archive, table_with_false_header()), &last), archived) << plus;
        EXPECT_EQ(last, payload::scan_end);
    }
}

TEST_F(SignedWalk, AnEntryRunningIntoTheTableIsDamaged) {
    Bytes cut = local_header("big.bin", std::string(40, 'b'));
    put32(cut, 18, 40 + 20);  // its stored length reaches 20 bytes into the table
    int last = -1;
    EXPECT_TRUE(walk(signed_bundle(program(), cut, Bytes(64, 0x30)), &last).empty());
    EXPECT_EQ(last, payload::scan_damaged);
}

// Whatever does not look like a table a signing tool wrote is walked whole,
// as an unsigned bundle is: bytes after the table (an archive appended to a
// signed program, say), too few directories, a table in the headers, or no
// PE file at all.
TEST_F(SignedWalk, AnythingElseIsWalkedToTheEndOfTheFile) {
    std::vector<std::string> with_false = archived;
    with_false.push_back("false.bin");
    Bytes table = table_with_false_header();
    Bytes few = program(false, 4);
    Bytes in_headers = program() + archive + table;
    point_table(in_headers, 0x20, in_headers.size() - 0x20);
    Bytes not_pe = signed_bundle(program(), archive, table);
    not_pe[0] = 'N';
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"data after the table", signed_bundle(program(), archive, table, Bytes{'x'})},
        {"four directories", signed_bundle(few, archive, table)},
        {"table in the headers", in_headers},
        {"no MZ", not_pe},
    };
    for (const auto& [name, b] : cases) {
        int last = -1;
        EXPECT_EQ(walk(b, &last), with_false) << name;
    }
}

TEST(CertificateTable, IsFoundOnlyInsideTheOptionalHeader) {
    Bytes b = program();
    point_table(b, 0x1234, 0x56);
    payload::CertificateTable t = payload::find_certificate_table(b.data(), b.size());
    EXPECT_TRUE(t.present);
    EXPECT_EQ(t.offset, 0x1234u);
    EXPECT_EQ(t.length, 0x56u);
    // An optional header declared too short to hold the directory.
    put16(b, 0x80 + 20, 96 + 4 * 8);
    EXPECT_FALSE(payload::find_certificate_table(b.data(), b.size()).present);
    // A PE header offset beyond the file.
    Bytes far = program();
    put32(far, 0x3C, 0xFFFFFFF0u);
    EXPECT_FALSE(payload::find_certificate_table(far.data(), far.size()).present);
    EXPECT_EQ(payload::archive_limit(far.data(), far.size()), far.size());
}

}  // namespace
