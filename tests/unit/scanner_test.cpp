// The archive walk over images built in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "payload/image.h"
#include "payload/scanner.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A local file header with name, extra field and data; the stored length is
// data's length unless given.
Bytes header(const std::string& name, const std::string& data, std::size_t extra = 0,
             long long stored_length = -1) {
    Bytes b(30 + name.size() + extra);
    b[0] = 0x50; b[1] = 0x4B; b[2] = 3; b[3] = 4;
    put32(b, 18, stored_length < 0 ? static_cast<std::uint32_t>(data.size()) : static_cast<std::uint32_t>(stored_length));
    put16(b, 26, static_cast<unsigned>(name.size()));
    put16(b, 28, static_cast<unsigned>(extra));
    std::memcpy(b.data() + 30, name.data(), name.size());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Entry {
    std::string name;
    std::string data;
    bool operator==(const Entry&) const = default;
};

class Scanner : public ::testing::Test {
protected:
    Bytes image_bytes;

    void load(const Bytes& b) {
        image_bytes = b;
        payload::image = {};
        payload::image.base = image_bytes.data();
        payload::image.size = static_cast<std::uint32_t>(image_bytes.size());
        payload::cursor.offset = 0;
    }

    // Every entry up to the end, and how the walk ended.
    std::vector<Entry> walk(int* last = nullptr) {
        std::vector<Entry> found;
        int result;
        while ((result = payload::scan_next_entry()) == payload::scan_entry) {
            const auto* start = reinterpret_cast<const char*>(payload::current.start);
            found.push_back({payload::current.name, std::string(start, payload::current.length)});
            EXPECT_LT(found.size(), 200000u);
        }
        if (last) *last = result;
        return found;
    }

    void TearDown() override { payload::image = {}; }
};

TEST_F(Scanner, FindsEntriesAfterAnExecutablePrefix) {
    load(text("MZ program bytes") + header("a.bin", "alpha") + header("b.bin", "") + text("PK\x01\x02 central"));
    int last = -1;
    EXPECT_EQ(walk(&last), (std::vector<Entry>{{"a.bin", "alpha"}, {"b.bin", ""}}));
    EXPECT_EQ(last, payload::scan_end);
}

TEST_F(Scanner, DirectoryEntriesArePassedOver) {
    load(text("x") + header("dir/", "") + header("dir/a.bin", "A") + header("b.bin", "B"));
    EXPECT_EQ(walk(), (std::vector<Entry>{{"dir/a.bin", "A"}, {"b.bin", "B"}}));
}

TEST_F(Scanner, OnlyDirectoryEntriesYieldNothing) {
    load(text("x") + header("dir/", "") + header("dir/sub/", ""));
    EXPECT_TRUE(walk().empty());
    EXPECT_EQ(std::string(payload::current.name), "dir/sub/");
}

TEST_F(Scanner, SignatureAtOffsetZeroIsNeverFound) {
    load(header("first.bin", "1") + header("second.bin", "2"));
    EXPECT_EQ(walk(), (std::vector<Entry>{{"second.bin", "2"}}));
}

TEST_F(Scanner, SignatureInsideEntryDataIsNotAnEntry) {
    Bytes inner = header("fake.bin", "zz");
    load(text("x") + header("real.bin", std::string(inner.begin(), inner.end())) + header("next.bin", "n"));
    auto found = walk();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "real.bin");
    EXPECT_EQ(found[1], (Entry{"next.bin", "n"}));
}

TEST_F(Scanner, EmptyNameAndExtraFieldAreHandled) {
    load(text("x") + header("", "data", 7) + header("e.bin", "", 65535 - 60000));
    EXPECT_EQ(walk(), (std::vector<Entry>{{"", "data"}, {"e.bin", ""}}));
}

TEST_F(Scanner, SignatureCutByTheEndOfTheImageIsNotFound) {
    load(text("xx") + text("PK\x03"));
    int last = -1;
    EXPECT_TRUE(walk(&last).empty());
    EXPECT_EQ(last, payload::scan_end);
}

TEST_F(Scanner, HeadersRunningPastTheImageAreDamaged) {
    Bytes whole = text("x") + header("name.bin", "payload", 4);
    // Cut inside the fixed part, the name, the extra field and the data.
    for (std::size_t cut : {std::size_t{5}, std::size_t{31}, std::size_t{36}, std::size_t{41}, whole.size() - 1}) {
        Bytes part(whole.begin(), whole.begin() + static_cast<long>(cut));
        load(text("x") + header("ok.bin", "ok") + part);
        int last = -1;
        EXPECT_EQ(walk(&last), (std::vector<Entry>{{"ok.bin", "ok"}})) << "cut " << cut;
        EXPECT_EQ(last, payload::scan_damaged) << "cut " << cut;
    }
}

TEST_F(Scanner, HugeStoredLengthsAreDamagedNotWrapped) {
    for (long long length : {0xFFFFFFFFll, 0xFFFFFFF0ll, 100ll}) {
        load(text("x") + header("big.bin", "short", 0, length));
        int last = -1;
        EXPECT_TRUE(walk(&last).empty());
        EXPECT_EQ(last, payload::scan_damaged) << length;
    }
}

TEST_F(Scanner, ManyEntriesInOrder) {
    Bytes b = text("stub");
    for (int i = 0; i < 5000; ++i) {
        Bytes h = header("f" + std::to_string(i), std::to_string(i * 7));
        b.insert(b.end(), h.begin(), h.end());
    }
    load(b);
    auto found = walk();
    ASSERT_EQ(found.size(), 5000u);
    EXPECT_EQ(found[4321], (Entry{"f4321", std::to_string(4321 * 7)}));
}

TEST(FirmwareImage, NeedsTheExactMagicAtTheStart) {
    struct Case { std::string data; bool firmware; };
    const Case cases[] = {
        {"qUoRdaViNe", true}, {"qUoRdaViNe and more", true}, {"QUoRdaViNe", false},
        {"qUoRdaViN", false}, {"", false}, {"xqUoRdaViNe", false}, {std::string("qUoRdaViNe\0", 11), true},
    };
    for (const auto& c : cases) {
        payload::current.start = reinterpret_cast<const unsigned char*>(c.data.data());
        payload::current.length = static_cast<std::uint32_t>(c.data.size());
        EXPECT_EQ(payload::is_firmware_image(), c.firmware) << c.data;
    }
}

}  // namespace
