// The archive walk over images built in memory.
#include <gtest/gtest.h>

#include <sys/mman.h>

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

TEST_F(Scanner, HeaderWalkHandsOutDirectoryEntriesWithTheirHeaders) {
    // Data inside a directory entry is searched, as the file walk does.
    Bytes dir = header("dir/", std::string(reinterpret_cast<const char*>(header("in.bin", "i").data()), 37));
    Bytes first = text("stub") + header("a.bin", "A");
    load(first + dir + header("b.bin", "B"));
    struct Seen { int result; std::string name; std::uint32_t header; };
    std::vector<Seen> seen;
    int result;
    while ((result = payload::scan_next_header()) == payload::scan_entry || result == payload::scan_directory)
        seen.push_back({result, payload::current.name, payload::cursor.header});
    EXPECT_EQ(result, payload::scan_end);
    const std::uint32_t at_dir = static_cast<std::uint32_t>(first.size());
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ((std::vector<std::string>{seen[0].name, seen[1].name, seen[2].name, seen[3].name}),
              (std::vector<std::string>{"a.bin", "dir/", "in.bin", "b.bin"}));
    EXPECT_EQ(seen[0].result, payload::scan_entry);
    EXPECT_EQ(seen[1].result, payload::scan_directory);
    EXPECT_EQ(seen[0].header, 4u);
    EXPECT_EQ(seen[1].header, at_dir);
    EXPECT_EQ(seen[2].header, at_dir + 34);
    EXPECT_EQ(seen[3].header, at_dir + dir.size());
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
    Bytes first = text("x") + header("ok.bin", "ok");
    Bytes whole = header("name.bin", "payload", 4);
    // Every cut: inside the signature, the fixed part, the name, the extra
    // field and the data.
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
        load(first + Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
        int last = -1;
        EXPECT_EQ(walk(&last), (std::vector<Entry>{{"ok.bin", "ok"}})) << "cut " << cut;
        // A signature cut short is no header at all.
        EXPECT_EQ(last, cut < 4 ? payload::scan_end : payload::scan_damaged) << "cut " << cut;
        // Nothing of the cut entry is handed out.
        EXPECT_EQ(std::string(payload::current.name), "ok.bin") << "cut " << cut;
        EXPECT_EQ(payload::current.length, 2u) << "cut " << cut;
        if (cut >= 4) {
            EXPECT_EQ(payload::cursor.offset, first.size()) << "cut " << cut;
        }
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
    for (int i = 0; i < 100000; ++i) {
        Bytes entry = header("f" + std::to_string(i), std::to_string(i * 7));
        b.insert(b.end(), entry.begin(), entry.end());
    }
    load(b);
    auto found = walk();
    ASSERT_EQ(found.size(), 100000u);
    EXPECT_EQ(found[43210], (Entry{"f43210", std::to_string(43210 * 7)}));
    EXPECT_EQ(found.back(), (Entry{"f99999", std::to_string(99999 * 7)}));
}

TEST_F(Scanner, LongestNameAndExtraField) {
    std::string name(65535, 'n');
    name[0] = 'a';
    Bytes whole = text("x") + header(name, "data", 65535);
    load(whole);
    EXPECT_EQ(walk(), (std::vector<Entry>{{name, "data"}}));
    load(Bytes(whole.begin(), whole.end() - 1));
    int last = -1;
    EXPECT_TRUE(walk(&last).empty());
    EXPECT_EQ(last, payload::scan_damaged);
}

TEST_F(Scanner, NameIsCutAtANulByte) {
    // The copy is a C string; the directory test still looks at the last
    // stored byte, so "d/" followed by a NUL and more is a file entry.
    load(text("x") + header(std::string("a\0../../b", 10), "one") + header(std::string("d/\0x", 4), "two") +
         header(std::string("e\0/", 3), ""));
    EXPECT_EQ(walk(), (std::vector<Entry>{{"a", "one"}, {"d/", "two"}}));
}

// An image of the largest size the program maps, 4 GiB less one byte, held
// as untouched anonymous memory so only the pages written cost anything.
class LargestImage : public ::testing::Test {
protected:
    static constexpr std::uint64_t size = 0xFFFFFFFFu;
    unsigned char* base = nullptr;

    void SetUp() override {
        void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(memory, MAP_FAILED);
        base = static_cast<unsigned char*>(memory);
        payload::image = {};
        payload::image.base = base;
        payload::image.size = static_cast<std::uint32_t>(size);
        payload::cursor.offset = 0;
    }
    void TearDown() override {
        payload::image = {};
        if (base != nullptr) munmap(base, size);
    }
    void put(std::uint64_t at, const Bytes& b) { std::memcpy(base + at, b.data(), b.size()); }

    // An entry from offset 1 whose data ends where the last header begins.
    void big_entry_up_to(std::uint64_t last_header) {
        put(1, header("big.bin", "", 0, static_cast<long long>(last_header - 1 - 30 - 7)));
    }
};

TEST_F(LargestImage, LastEntryEndingAtTheLastByteEndsTheWalk) {
    const std::uint64_t last = size - 64;
    big_entry_up_to(last);
    put(last, header("end", "", 0, 64 - 33));
    ASSERT_EQ(payload::scan_next_entry(), payload::scan_entry);
    EXPECT_EQ(payload::current.length, last - 38);
    ASSERT_EQ(payload::scan_next_entry(), payload::scan_entry);
    EXPECT_EQ(std::string(payload::current.name), "end");
    EXPECT_EQ(payload::cursor.offset, size - 1);
    // The next scan would begin at 2^32 - 1 + 1: it must end, not start over
    // at the first header.
    EXPECT_EQ(payload::scan_next_entry(), payload::scan_end);
    EXPECT_EQ(payload::cursor.offset, size - 1);
}

TEST_F(LargestImage, LengthThatWrapsPastFourGiBIsDamaged) {
    const std::uint64_t last = size - 64;
    big_entry_up_to(last);
    // Header end plus this length is 2^32 + 5: in 32 bits it would point
    // back near the start of the image.
    put(last, header("end", "", 0, static_cast<long long>((1ull << 32) - (last + 33) + 5)));
    ASSERT_EQ(payload::scan_next_entry(), payload::scan_entry);
    EXPECT_EQ(payload::scan_next_entry(), payload::scan_damaged);
    EXPECT_EQ(payload::cursor.offset, last);
    EXPECT_EQ(std::string(payload::current.name), "big.bin");
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
