// The user address space of a system call. The board copies the program's
// write and ioctl bytes into its own buffers, which play the calling task's
// user memory for the length of the call: a UserSpace on the calling thread
// lists the ranges a driver may read (and write). Anything else, a null
// pointer included, is unmapped: access_ok refuses it and a copy from it
// copies nothing. No UserSpace (an interrupt, module load) maps nothing.
#ifndef PATERM_BOARD_SIM_KERNEL_UACCESS_H
#define PATERM_BOARD_SIM_KERNEL_UACCESS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::kernel {

struct UserRange {
    const void* base = nullptr;
    size_t size = 0;
    bool writable = false;
};

class UserSpace {
public:
    explicit UserSpace(std::vector<UserRange> ranges);
    ~UserSpace();
    UserSpace(const UserSpace&) = delete;
    UserSpace& operator=(const UserSpace&) = delete;

    static UserSpace* Current();

    // The leading bytes of [address, address + size) that are mapped.
    size_t Mapped(uintptr_t address, size_t size, bool write) const;
    // access_ok and copies made by drivers during this call.
    uint64_t Accesses() const { return accesses_; }
    void CountAccess() { ++accesses_; }

private:
    std::vector<UserRange> ranges_;
    UserSpace* previous_;
    uint64_t accesses_ = 0;
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_UACCESS_H
