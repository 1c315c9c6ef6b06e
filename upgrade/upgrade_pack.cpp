// Writing and reading upgrade packages (little-endian fields).
#include "upgrade/upgrade_pack.h"

#include <cstring>

namespace upgrade {
namespace {

void PutLe32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

int Refuse(std::string* why, const std::string& text) {
    *why = text;
    return 0;
}

}  // namespace

std::vector<uint8_t> BuildPackage(const std::vector<PackEntry>& entries) {
    if (entries.empty() || entries.size() > static_cast<size_t>(kUpgradeMaxFiles)) return {};
    uint64_t total = kPackHeaderSize + kPackDescSize * entries.size();
    for (const PackEntry& e : entries) total += e.data.size();
    if (total > UINT32_MAX) return {};
    std::vector<uint8_t> out(kPackHeaderSize + kPackDescSize * entries.size(), 0);
    std::memcpy(out.data(), kPackMagic, sizeof kPackMagic);
    out[8] = static_cast<uint8_t>(entries.size());
    PutLe32(&out, 12, static_cast<uint32_t>(total));
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t d = kPackHeaderSize + kPackDescSize * i;
        out[d] = entries[i].kind0;
        out[d + 1] = entries[i].kind1;
        PutLe32(&out, d + 4, entries[i].version);
        PutLe32(&out, d + 8, static_cast<uint32_t>(entries[i].data.size()));
        PutLe32(&out, d + 12, static_cast<uint32_t>(out.size()));
        out.insert(out.end(), entries[i].data.begin(), entries[i].data.end());
    }
    return out;
}

int ReadPackage(const std::vector<uint8_t>& bytes, PackListing* listing, std::string* why) {
    *listing = PackListing{};
    if (bytes.size() < kPackHeaderSize) return Refuse(why, "shorter than a package header");
    if (std::memcmp(bytes.data(), kPackMagic, sizeof kPackMagic) != 0) return Refuse(why, "no package magic");
    const uint8_t count = bytes[8];
    if (count == 0 || count > kUpgradeMaxFiles)
        return Refuse(why, "file number " + std::to_string(count) + " not 1..10");
    const uint32_t total = GetLe32(bytes.data() + 12);
    if (total != bytes.size())
        return Refuse(why, "total length " + std::to_string(total) + " but " + std::to_string(bytes.size()) + " bytes");
    if (bytes.size() < kPackHeaderSize + kPackDescSize * count) return Refuse(why, "descriptions cut short");
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* d = bytes.data() + kPackHeaderSize + kPackDescSize * i;
        UpgradeFileDesc desc{d[0], d[1], GetLe32(d + 4), GetLe32(d + 8), GetLe32(d + 12)};
        if (uint64_t{desc.offset} + desc.length > bytes.size())
            return Refuse(why, "file " + std::to_string(i) + " lies past the end of the package");
        listing->files.push_back(desc);
    }
    listing->fileNumber = count;
    listing->totalLength = total;
    return 1;
}

const char* PackKindName(uint8_t kind0, uint8_t kind1) {
    for (const PackKind& k : kPackKinds)
        if (k.kind0 == kind0 && k.kind1 == kind1) return k.name;
    return "unknown";
}

}  // namespace upgrade
