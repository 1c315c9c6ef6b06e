// Checking an application archive: the gzip stream feeds a tar reader that
// looks at every header (ustar and GNU long names, pax path records).
#include "upgrade/archive_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace upgrade {
namespace {

constexpr size_t kBlock = 512;
constexpr size_t kMaxName = 4096;  // longest name (or pax header) taken from an extension record
constexpr uint64_t kMaxMember = 0xFFFFFFFFu;  // no file of the tree is larger; the block count cannot wrap

// Splits a relative name into its components, "." and empty ones dropped.
std::vector<std::string> Components(const std::string& name) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

std::string Join(const std::vector<std::string>& parts, size_t count) {
    std::string joined;
    for (size_t i = 0; i < count && i < parts.size(); ++i) joined += (i ? "/" : "") + parts[i];
    return joined;
}

uint64_t Octal(const uint8_t* field, size_t size, bool* ok) {
    if (field[0] & 0x80) {  // base-256, GNU's form for large values
        uint64_t v = field[0] & 0x3F;
        for (size_t i = 1; i < size; ++i) v = (v << 8) | field[i];
        return v;
    }
    uint64_t v = 0;
    size_t i = 0;
    while (i < size && field[i] == ' ') ++i;
    size_t digits = 0;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) v = (v << 3) | (field[i] - '0');
    if (digits == 0 || (i < size && field[i] != ' ' && field[i] != '\0')) *ok = false;
    return v;
}

std::string Field(const uint8_t* field, size_t size) {
    return std::string(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), size));
}

class TarChecker {
public:
    bool Feed(const uint8_t* data, size_t count);
    // After the whole stream: false when the archive did not end properly.
    bool Finish();
    const std::string& why() const { return why_; }

private:
    bool Block(const uint8_t* block);
    bool Header(const uint8_t* h);
    bool Member(char type, const std::string& name, const std::string& link);
    bool InsideName(const std::string& name, std::vector<std::string>* parts);
    bool InsideLink(const std::vector<std::string>& member, const std::string& target);
    bool ParsePax();
    bool Fail(const std::string& text) {
        why_ = text;
        return false;
    }

    uint8_t block_[kBlock];
    size_t filled_ = 0;
    uint64_t skip_ = 0;    // data bytes (with padding) still to pass
    char collecting_ = 0;  // 'L', 'K' or 'x' while an extension's data is read
    std::string extension_;
    size_t extensionSize_ = 0;
    std::string longName_, longLink_;
    bool ended_ = false;
    size_t members_ = 0;
    std::set<std::string> links_;  // symbolic links of the archive
    std::string why_;
};

bool TarChecker::Feed(const uint8_t* data, size_t count) {
    while (count > 0) {
        if (ended_) return true;  // the rest is the record's zero padding
        size_t n = std::min(count, kBlock - filled_);
        std::memcpy(block_ + filled_, data, n);
        filled_ += n;
        data += n;
        count -= n;
        if (filled_ == kBlock) {
            filled_ = 0;
            if (!Block(block_)) return false;
        }
    }
    return true;
}

bool TarChecker::Block(const uint8_t* block) {
    if (skip_ == 0) return Header(block);
    size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, kBlock));
    if (collecting_) extension_.append(reinterpret_cast<const char*>(block), n);
    skip_ -= n;
    if (skip_ > 0 || !collecting_) return true;
    extension_.resize(std::min<size_t>(extension_.size(), extensionSize_));  // the padding is no part of it
    if (collecting_ == 'x' && !ParsePax()) return false;
    if (collecting_ != 'x') {
        const auto* text = reinterpret_cast<const uint8_t*>(extension_.data());
        (collecting_ == 'L' ? longName_ : longLink_) = Field(text, extension_.size());
    }
    collecting_ = 0;
    return true;
}

bool TarChecker::Header(const uint8_t* h) {
    static const uint8_t kZero[kBlock] = {};
    if (std::memcmp(h, kZero, kBlock) == 0) {
        ended_ = true;
        return true;
    }
    bool ok = true;
    uint64_t sum = Octal(h + 148, 8, &ok);
    uint64_t actual = 0;
    for (size_t i = 0; i < kBlock; ++i) actual += (i >= 148 && i < 156) ? ' ' : h[i];
    if (!ok || sum != actual) return Fail("a member header is damaged");
    uint64_t size = Octal(h + 124, 12, &ok);
    if (!ok || size > kMaxMember) return Fail("a member header is damaged");
    char type = static_cast<char>(h[156]);
    if (type == 'L' || type == 'K' || type == 'x') {
        if (size > kMaxName) return Fail("an extended header is too long");
        collecting_ = type;
        extension_.clear();
        extensionSize_ = static_cast<size_t>(size);
        skip_ = (size + kBlock - 1) / kBlock * kBlock;
        if (skip_ == 0) collecting_ = 0;
        return true;
    }
    std::string name = longName_.empty() ? Field(h, 100) : longName_;
    if (longName_.empty() && std::memcmp(h + 257, "ustar", 5) == 0 && h[345] != 0)
        name = Field(h + 345, 155) + "/" + name;
    std::string link = longLink_.empty() ? Field(h + 157, 100) : longLink_;
    longName_.clear();
    longLink_.clear();
    skip_ = (type == '0' || type == '\0' || type == '7') ? (size + kBlock - 1) / kBlock * kBlock : 0;
    ++members_;
    return Member(type, name, link);
}

// A pax header: records "LENGTH key=value\n"; path and linkpath replace the
// names. A malformed one is refused, as tar would stop on it.
bool TarChecker::ParsePax() {
    size_t at = 0;
    while (at < extension_.size()) {
        size_t space = extension_.find(' ', at);
        size_t len = std::strtoul(extension_.c_str() + at, nullptr, 10);
        if (space == std::string::npos || len == 0 || space + 1 >= at + len || at + len > extension_.size() ||
            extension_[at + len - 1] != '\n')
            return Fail("an extended header is malformed");
        std::string record = extension_.substr(space + 1, at + len - space - 2);
        if (record.rfind("path=", 0) == 0) longName_ = record.substr(5);
        if (record.rfind("linkpath=", 0) == 0) longLink_ = record.substr(9);
        at += len;
    }
    return true;
}

bool TarChecker::Member(char type, const std::string& name, const std::string& link) {
    std::vector<std::string> parts;
    if (!InsideName(name, &parts)) return false;
    bool top = parts.size() == 1;
    switch (type) {
    case '0': case '\0': case '7':
        if (top) return Fail("the tree's top is not a directory");
        return true;
    case '5':
        return true;
    case '1': {
        std::vector<std::string> target;
        if (top) return Fail("the tree's top is not a directory");
        if (!InsideName(link, &target)) return Fail("hard link " + name + " points out of the tree");
        return true;
    }
    case '2':
        if (top) return Fail("the tree's top is not a directory");
        if (!InsideLink(parts, link)) return Fail("link " + name + " points out of the tree");
        links_.insert(Join(parts, parts.size()));
        return true;
    default:
        return Fail("member " + name + " is neither a file, a directory nor a link");
    }
}

// A relative name inside the tree that goes through none of the archive's links.
bool TarChecker::InsideName(const std::string& name, std::vector<std::string>* parts) {
    if (name.empty() || name[0] == '/') return Fail("absolute or empty member name \"" + name + "\"");
    *parts = Components(name);
    if (parts->empty() || (*parts)[0] != kAppTreeTop) return Fail("member " + name + " lies outside lpc3250/");
    for (size_t i = 0; i < parts->size(); ++i) {
        if ((*parts)[i] == "..") return Fail("member name " + name + " holds \"..\"");
        if (i + 1 < parts->size() && links_.count(Join(*parts, i + 1)))
            return Fail("member " + name + " lies behind a link");
    }
    return true;
}

// A link target: relative, its ".." only leading, resolving inside the tree
// from the link's own directory (which holds no link, see InsideName).
bool TarChecker::InsideLink(const std::vector<std::string>& member, const std::string& target) {
    if (target.empty() || target[0] == '/') return false;
    std::vector<std::string> dir(member.begin(), member.end() - 1);
    bool climbing = true;
    for (const std::string& part : Components(target)) {
        if (part != "..") {
            climbing = false;
            dir.push_back(part);
            continue;
        }
        if (!climbing || dir.empty()) return false;
        dir.pop_back();
    }
    return !dir.empty() && dir[0] == kAppTreeTop;
}

bool TarChecker::Finish() {
    if (!why_.empty()) return false;
    if (!ended_ || filled_ != 0 || skip_ != 0) return Fail("the archive ends before its end marker");
    if (members_ == 0) return Fail("the archive holds nothing");
    return true;
}

}  // namespace

int CheckAppArchive(const ByteSource& source, std::string* why) {
    TarChecker tar;
    GunzipResult result = Gunzip(source, [&tar](const uint8_t* data, size_t count) { return tar.Feed(data, count); });
    if (result == GunzipResult::kStopped) {
        *why = tar.why();
        return 0;
    }
    if (result != GunzipResult::kOk) {
        *why = result == GunzipResult::kCut ? "the archive is cut short" : "the archive is not a sound gzip file";
        return 0;
    }
    if (!tar.Finish()) {
        *why = tar.why();
        return 0;
    }
    return 1;
}

}  // namespace upgrade
