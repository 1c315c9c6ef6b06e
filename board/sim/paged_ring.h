// PagedRing: the newest entries of a numbered log, read a page at a time.
// Each entry gets the next number for the life of the ring (a Clear keeps
// the numbering); a reader asks for entries from a number on and is told
// where its next page starts, so it neither misses nor repeats an entry
// while the ring keeps moving. Not locked: its owner's lock guards it.
#ifndef PATERM_BOARD_SIM_PAGED_RING_H
#define PATERM_BOARD_SIM_PAGED_RING_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

template <typename Entry, uint64_t Entry::*Number>
class PagedRing {
public:
    explicit PagedRing(size_t keep) : keep_(keep) {}

    // Numbers the entry, keeps it and returns a reference to the kept copy.
    const Entry& Push(Entry entry) {
        entry.*Number = next_++;
        entries_.push_back(std::move(entry));
        if (entries_.size() > keep_) entries_.pop_front();
        return entries_.back();
    }

    // At most max entries from number `from` on; *next is where the following
    // page starts. Numbers older than the kept entries are skipped.
    std::vector<Entry> From(uint64_t from, size_t max, uint64_t* next) const {
        std::vector<Entry> page;
        const uint64_t first = entries_.empty() ? next_ : entries_.front().*Number;
        uint64_t at = std::max(from, first);
        for (; at < next_ && page.size() < max; ++at) page.push_back(entries_[at - first]);
        *next = std::max(at, from);
        return page;
    }

    void Clear() { entries_.clear(); }
    const std::deque<Entry>& entries() const { return entries_; }
    uint64_t NextNumber() const { return next_; }

private:
    size_t keep_;
    std::deque<Entry> entries_;
    uint64_t next_ = 0;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PAGED_RING_H
