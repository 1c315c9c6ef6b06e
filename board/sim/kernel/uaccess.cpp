// access_ok, __copy_from_user, __copy_to_user and __memzero over the
// calling thread's user ranges.
#include "board/sim/kernel/uaccess.h"

#include <algorithm>
#include <cstring>

#include "board/sim/kernel/context.h"
#include "board/sim/kernel/include/emu/kabi.h"

namespace sim::kernel {
namespace {

thread_local UserSpace* tlsUserSpace = nullptr;

}  // namespace

UserSpace::UserSpace(std::vector<UserRange> ranges) : ranges_(std::move(ranges)), previous_(tlsUserSpace) {
    tlsUserSpace = this;
}

UserSpace::~UserSpace() { tlsUserSpace = previous_; }

UserSpace* UserSpace::Current() { return tlsUserSpace; }

size_t UserSpace::Mapped(uintptr_t address, size_t size, bool write) const {
    if (address == 0) return 0;  // the zero page is never mapped
    size_t done = 0;
    bool grew = true;
    while (done < size && grew) {  // ranges may adjoin: follow them
        grew = false;
        const uintptr_t at = address + done;
        if (at < address) break;  // wrapped
        for (const UserRange& r : ranges_) {
            const uintptr_t base = reinterpret_cast<uintptr_t>(r.base);
            if ((write && !r.writable) || at < base || at - base >= r.size) continue;
            const size_t here = std::min(size - done, r.size - (at - base));
            done += here;
            grew = here > 0;
            break;
        }
    }
    return done;
}

}  // namespace sim::kernel

using sim::kernel::UserSpace;

extern "C" int emu_access_ok(int type, const void* addr, unsigned long size) {
    UserSpace* user = UserSpace::Current();
    if (!user) return 0;
    user->CountAccess();
    if (size == 0) return 1;
    return user->Mapped(reinterpret_cast<uintptr_t>(addr), size, type != 0) == size;
}

extern "C" unsigned long __copy_from_user(void* to, const void* from, unsigned long n) {
    sim::kernel::MightSleep("copy_from_user");
    UserSpace* user = UserSpace::Current();
    size_t ok = 0;
    if (user) {
        user->CountAccess();
        ok = user->Mapped(reinterpret_cast<uintptr_t>(from), n, false);
    }
    if (ok > 0) std::memcpy(to, from, ok);
    std::memset(static_cast<char*>(to) + ok, 0, n - ok);  // a fault leaves the rest zeroed
    return n - ok;
}

extern "C" unsigned long __copy_to_user(void* to, const void* from, unsigned long n) {
    sim::kernel::MightSleep("copy_to_user");
    UserSpace* user = UserSpace::Current();
    size_t ok = 0;
    if (user) {
        user->CountAccess();
        ok = user->Mapped(reinterpret_cast<uintptr_t>(to), n, true);
    }
    if (ok > 0) std::memcpy(to, from, ok);
    return n - ok;
}

extern "C" void __memzero(void* ptr, emu_size_t n) { std::memset(ptr, 0, n); }
