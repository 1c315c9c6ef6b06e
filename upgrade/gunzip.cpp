// The gzip reader: header, the three deflate block types (stored, fixed and
// dynamic Huffman codes, decoded canonically a bit at a time) and trailer.
#include "upgrade/gunzip.h"

#include <array>
#include <memory>

namespace upgrade {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr size_t kWindow = 32768;
constexpr int kMaxBits = 15;

struct Huffman {
    uint16_t count[kMaxBits + 1];
    uint16_t symbol[288];
};

// Canonical code from code lengths; false when over-subscribed.
bool BuildHuffman(Huffman* h, const uint8_t* lengths, int n) {
    for (uint16_t& c : h->count) c = 0;
    for (int i = 0; i < n; ++i) h->count[lengths[i]]++;
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
        left = (left << 1) - h->count[len];
        if (left < 0) return false;
    }
    uint16_t offs[kMaxBits + 1];
    offs[1] = 0;
    for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = static_cast<uint16_t>(offs[len] + h->count[len]);
    for (int i = 0; i < n; ++i)
        if (lengths[i] != 0) h->symbol[offs[lengths[i]]++] = static_cast<uint16_t>(i);
    return true;
}

class Inflater {
public:
    Inflater(const ByteSource& source, const ByteSink& sink) : source_(source), sink_(sink) {}
    GunzipResult Run();

private:
    int Byte();
    uint32_t Bits(int n);
    int Decode(const Huffman& h);
    bool Header();
    bool Stored();
    bool Codes(const Huffman& lit, const Huffman& dist);
    bool Fixed();
    bool Dynamic();
    void Put(uint8_t b);
    void Flush();
    bool Failed() const { return cut_ || bad_ || stopped_; }

    const ByteSource& source_;
    const ByteSink& sink_;
    uint8_t in_[4096];
    size_t inPos_ = 0, inLen_ = 0;
    uint32_t bitBuf_ = 0;
    int bitCount_ = 0;
    uint8_t window_[kWindow];
    size_t winPos_ = 0, flushed_ = 0;
    uint64_t total_ = 0;
    uint32_t crc_ = 0;
    bool cut_ = false, bad_ = false, stopped_ = false;
};

// The next input byte, or -1 at the end (the stream is then cut).
int Inflater::Byte() {
    if (inPos_ == inLen_) {
        ssize_t n = cut_ ? 0 : source_(in_, sizeof in_);
        if (n <= 0) {
            cut_ = true;
            return -1;
        }
        inPos_ = 0;
        inLen_ = static_cast<size_t>(n);
    }
    return in_[inPos_++];
}

uint32_t Inflater::Bits(int n) {
    while (bitCount_ < n) {
        int b = Byte();
        if (b < 0) return 0;
        bitBuf_ |= static_cast<uint32_t>(b) << bitCount_;
        bitCount_ += 8;
    }
    uint32_t v = bitBuf_ & ((1u << n) - 1);
    bitBuf_ >>= n;
    bitCount_ -= n;
    return v;
}

int Inflater::Decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits && !cut_; ++len) {
        code |= static_cast<int>(Bits(1));
        int count = h.count[len];
        if (code - count < first) return h.symbol[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    bad_ = !cut_;
    return -1;
}

void Inflater::Flush() {
    if (winPos_ > flushed_ && !stopped_) {
        crc_ = Crc32(crc_, window_ + flushed_, winPos_ - flushed_);
        if (!sink_(window_ + flushed_, winPos_ - flushed_)) stopped_ = true;
    }
    flushed_ = winPos_;
}

void Inflater::Put(uint8_t b) {
    window_[winPos_++] = b;
    ++total_;
    if (winPos_ == kWindow) {
        Flush();
        winPos_ = flushed_ = 0;
    }
}

bool Inflater::Header() {
    int id1 = Byte(), id2 = Byte(), method = Byte(), flags = Byte();
    if (id1 != 0x1F || id2 != 0x8B || method != 8 || flags < 0 || (flags & 0xE0)) return false;
    for (int i = 0; i < 6; ++i) Byte();  // time, extra flags, system
    if (flags & 0x04) {
        int lo = Byte(), hi = Byte();
        for (int i = 0, n = lo | (hi << 8); i < n && !cut_; ++i) Byte();
    }
    for (int bit : {0x08, 0x10})  // name, comment: zero-terminated
        if (flags & bit)
            while (!cut_ && Byte() > 0) {
            }
    if (flags & 0x02) Byte(), Byte();
    return !cut_;
}

bool Inflater::Stored() {
    bitBuf_ = 0;
    bitCount_ = 0;
    uint32_t len = Bits(16), nlen = Bits(16);
    if (cut_) return false;
    if ((len ^ 0xFFFF) != nlen) return !(bad_ = true);
    for (uint32_t i = 0; i < len; ++i) {
        int b = Byte();
        if (b < 0) return false;
        Put(static_cast<uint8_t>(b));
    }
    return !Failed();
}

bool Inflater::Codes(const Huffman& lit, const Huffman& dist) {
    for (;;) {
        int sym = Decode(lit);
        if (sym < 0 || Failed()) return false;
        if (sym < 256) {
            Put(static_cast<uint8_t>(sym));
            continue;
        }
        if (sym == 256) return true;
        sym -= 257;
        if (sym >= 29) return !(bad_ = true);
        uint32_t len = kLengthBase[sym] + Bits(kLengthExtra[sym]);
        int dsym = Decode(dist);
        if (dsym < 0 || dsym >= 30) return !(bad_ = bad_ || !cut_);
        uint32_t distance = kDistBase[dsym] + Bits(kDistExtra[dsym]);
        if (cut_) return false;
        if (distance > total_) return !(bad_ = true);
        for (uint32_t i = 0; i < len; ++i) Put(window_[(winPos_ + kWindow - distance) % kWindow]);
        if (stopped_) return false;
    }
}

bool Inflater::Fixed() {
    static Huffman lit, dist;
    static const bool built = [] {
        uint8_t lengths[288];
        for (int i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        BuildHuffman(&lit, lengths, 288);
        for (int i = 0; i < 30; ++i) lengths[i] = 5;
        BuildHuffman(&dist, lengths, 30);
        return true;
    }();
    (void)built;
    return Codes(lit, dist);
}

bool Inflater::Dynamic() {
    int nlen = static_cast<int>(Bits(5)) + 257, ndist = static_cast<int>(Bits(5)) + 1;
    int ncode = static_cast<int>(Bits(4)) + 4;
    if (cut_) return false;
    if (nlen > 286 || ndist > 30) return !(bad_ = true);
    uint8_t lengths[320] = {};
    for (int i = 0; i < ncode; ++i) lengths[kCodeOrder[i]] = static_cast<uint8_t>(Bits(3));
    Huffman code, lit, dist;
    if (!BuildHuffman(&code, lengths, 19)) return !(bad_ = true);
    for (int i = 0; i < nlen + ndist;) {
        int sym = Decode(code);
        if (sym < 0 || Failed()) return false;
        if (sym < 16) {
            lengths[i++] = static_cast<uint8_t>(sym);
            continue;
        }
        if (sym == 16 && i == 0) return !(bad_ = true);
        uint8_t value = sym == 16 ? lengths[i - 1] : 0;
        int repeat = sym == 16 ? 3 + static_cast<int>(Bits(2))
                   : sym == 17 ? 3 + static_cast<int>(Bits(3))
                               : 11 + static_cast<int>(Bits(7));
        if (i + repeat > nlen + ndist) return !(bad_ = true);
        while (repeat-- > 0) lengths[i++] = value;
    }
    if (lengths[256] == 0 || !BuildHuffman(&lit, lengths, nlen) || !BuildHuffman(&dist, lengths + nlen, ndist))
        return !(bad_ = true);
    return Codes(lit, dist);
}

GunzipResult Inflater::Run() {
    if (!Header()) return cut_ ? GunzipResult::kCut : GunzipResult::kBad;
    for (bool last = false; !last;) {
        last = Bits(1) != 0;
        uint32_t type = Bits(2);
        bool ok = type == 0 ? Stored() : type == 1 ? Fixed() : type == 2 ? Dynamic() : !(bad_ = true);
        if (!ok || Failed()) break;
    }
    Flush();
    if (stopped_) return GunzipResult::kStopped;
    if (bad_) return GunzipResult::kBad;
    if (cut_) return GunzipResult::kCut;
    bitBuf_ = 0;
    bitCount_ = 0;  // the trailer starts on a byte boundary
    uint32_t crc = Bits(16) | (Bits(16) << 16);
    uint32_t size = Bits(16) | (Bits(16) << 16);
    if (cut_) return GunzipResult::kCut;
    if (crc != crc_ || size != static_cast<uint32_t>(total_)) return GunzipResult::kBad;
    return Byte() < 0 ? GunzipResult::kOk : GunzipResult::kBad;
}

}  // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t count) {
    crc = ~crc;
    for (size_t i = 0; i < count; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

GunzipResult Gunzip(const ByteSource& source, const ByteSink& sink) {
    auto inflater = std::make_unique<Inflater>(source, sink);  // 36 KiB: off a task's small stack
    return inflater->Run();
}

}  // namespace upgrade
