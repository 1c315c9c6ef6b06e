// paterm-pack: the integrators' tool for upgrade packages. It builds a
// package in the terminal's format from an application archive, a kernel
// image and a file system image, and lists or checks a package, with the
// terminal's own checks of its archive and image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "upgrade/archive_check.h"
#include "upgrade/uimage.h"
#include "upgrade/upgrade_pack.h"

namespace {

constexpr uint32_t kDefaultVersion = 0x04050002;  // one past the running software's
constexpr uint64_t kDefaultPartition = 4 * 1024 * 1024;

const char kUsage[] =
    "usage: paterm-pack build -o PACKAGE [--app ARCHIVE.tgz] [--kernel uImage] [--rootfs IMAGE]\n"
    "                         [--version V] [--app-version V] [--kernel-version V] [--rootfs-version V]\n"
    "                         [--partition-size BYTES]\n"
    "       paterm-pack list PACKAGE\n"
    "       paterm-pack check PACKAGE [--partition-size BYTES]\n"
    "       paterm-pack --help\n"
    "\n"
    "Versions are 0xHEX or A.B.C (A<<24 | B<<16 | C); default 0x04050002. The terminal\n"
    "skips a file whose version equals its own, 0x04050001 (D4.5.1). The application\n"
    "archive must be a gzip tar of the lpc3250/ tree; the kernel a uImage that fits the\n"
    "partition (default 4194304 bytes). The file system image is carried with kind\n"
    "0x46 0x53, which the terminal skips. build and check exit 1 on a refused input.\n";

struct Options {
    std::string out, files[3];
    uint32_t versions[3] = {kDefaultVersion, kDefaultVersion, kDefaultVersion};
    uint64_t partition = kDefaultPartition;
};

bool ReadWhole(const std::string& path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ParseVersion(const char* text, uint32_t* version) {
    char* end = nullptr;
    if (std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0) {
        unsigned long v = std::strtoul(text + 2, &end, 16);
        *version = static_cast<uint32_t>(v);
        return end != text + 2 && *end == '\0' && v <= 0xFFFFFFFFul;
    }
    unsigned a = 0, b = 0, c = 0;
    int used = 0;
    if (std::sscanf(text, "%u.%u.%u%n", &a, &b, &c, &used) != 3 || text[used] != '\0' || a > 255 || b > 255 ||
        c > 0xFFFF)
        return false;
    *version = (a << 24) | (b << 16) | c;
    return true;
}

// A memory area as a byte source.
upgrade::ByteSource MemorySource(const uint8_t* data, size_t size) {
    auto at = std::make_shared<size_t>(0);
    return [data, size, at](uint8_t* buf, size_t count) {
        size_t n = std::min(count, size - *at);
        std::memcpy(buf, data + *at, n);
        *at += n;
        return static_cast<ssize_t>(n);
    };
}

// The terminal's check of one file; true when it passes (or is not checked).
bool CheckFile(uint8_t kind0, uint8_t kind1, const uint8_t* data, size_t size, uint64_t partition, std::string* why) {
    if (kind0 == upgrade::kPackApp.kind0 && kind1 == upgrade::kPackApp.kind1)
        return upgrade::CheckAppArchive(MemorySource(data, size), why) == 1;
    if (kind0 == upgrade::kPackKernel.kind0 && kind1 == upgrade::kPackKernel.kind1)
        return upgrade::CheckKernelImage(MemorySource(data, size), size, partition, why) == 1;
    return true;
}

int Build(const Options& o) {
    std::vector<upgrade::PackEntry> entries;
    for (int i = 0; i < 3; ++i) {
        if (o.files[i].empty()) continue;
        const upgrade::PackKind& kind = upgrade::kPackKinds[i];
        upgrade::PackEntry e{kind.kind0, kind.kind1, o.versions[i], {}};
        if (!ReadWhole(o.files[i], &e.data)) {
            std::fprintf(stderr, "paterm-pack: cannot read %s\n", o.files[i].c_str());
            return 1;
        }
        std::string why;
        if (!CheckFile(e.kind0, e.kind1, e.data.data(), e.data.size(), o.partition, &why)) {
            std::fprintf(stderr, "paterm-pack: %s %s refused: %s\n", kind.name, o.files[i].c_str(), why.c_str());
            return 1;
        }
        if (e.version == UPGRADE_CUR_VERSION)
            std::fprintf(stderr, "paterm-pack: warning: the terminal skips the %s of its own version\n", kind.name);
        entries.push_back(std::move(e));
    }
    std::vector<uint8_t> package = upgrade::BuildPackage(entries);
    if (package.empty()) {
        std::fprintf(stderr, "paterm-pack: nothing to pack (give --app, --kernel or --rootfs)\n");
        return 1;
    }
    std::ofstream out(o.out, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(package.data()), static_cast<std::streamsize>(package.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "paterm-pack: cannot write %s\n", o.out.c_str());
        return 1;
    }
    std::printf("%s: %zu files, %zu bytes\n", o.out.c_str(), entries.size(), package.size());
    return 0;
}

// Lists the package; with check, runs the terminal's checks on each file too.
int ListOrCheck(const std::string& path, bool check, uint64_t partition) {
    std::vector<uint8_t> bytes;
    if (!ReadWhole(path, &bytes)) {
        std::fprintf(stderr, "paterm-pack: cannot read %s\n", path.c_str());
        return 1;
    }
    upgrade::PackListing listing;
    std::string why;
    if (!upgrade::ReadPackage(bytes, &listing, &why)) {
        std::printf("%s: refused: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    std::printf("%s: %u files, %u bytes\n", path.c_str(), listing.fileNumber, listing.totalLength);
    int bad = 0;
    for (const UpgradeFileDesc& f : listing.files) {
        std::printf("  %-7s kind %02X %02X  version 0x%08X  length %u  offset %u",
                    upgrade::PackKindName(f.kind0, f.kind1), f.kind0, f.kind1, f.version, f.length, f.offset);
        if (f.version == UPGRADE_CUR_VERSION) std::printf("  (the running version: skipped)");
        if (check && !CheckFile(f.kind0, f.kind1, bytes.data() + f.offset, f.length, partition, &why)) {
            std::printf("  refused: %s", why.c_str());
            ++bad;
        }
        std::printf("\n");
    }
    if (check) std::printf(bad ? "%s: refused\n" : "%s: sound\n", path.c_str());
    return bad ? 1 : 0;
}

// Option value of argv[*i] (the next argument); null when missing.
const char* Value(int argc, char** argv, int* i) { return *i + 1 < argc ? argv[++*i] : nullptr; }

bool ParseOptions(int argc, char** argv, int first, Options* o) {
    static const char* const kFileOptions[] = {"--app", "--kernel", "--rootfs"};
    static const char* const kVersionOptions[] = {"--app-version", "--kernel-version", "--rootfs-version"};
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* v = Value(argc, argv, &i);
        if (v == nullptr) return false;
        bool known = false;
        for (int k = 0; k < 3; ++k) {
            if (arg == kFileOptions[k]) o->files[k] = v, known = true;
            if (arg == kVersionOptions[k]) known = ParseVersion(v, &o->versions[k]);
        }
        if (arg == "--version") {
            uint32_t all = 0;
            known = ParseVersion(v, &all);
            for (uint32_t& version : o->versions) version = all;
        }
        if (arg == "-o") o->out = v, known = true;
        if (arg == "--partition-size") {
            char* end = nullptr;
            o->partition = std::strtoull(v, &end, 0);
            known = *v != '\0' && *end == '\0' && o->partition > 0;
        }
        if (!known) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--help" || cmd == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options o;
    if (cmd == "build" && ParseOptions(argc, argv, 2, &o) && !o.out.empty()) return Build(o);
    if ((cmd == "list" || cmd == "check") && argc >= 3 && ParseOptions(argc, argv, 3, &o))
        return ListOrCheck(argv[2], cmd == "check", o.partition);
    std::fputs(kUsage, stderr);
    return 2;
}
