// Misc character devices (major 10) and the file operations on them, as
// the kernel's VFS calls a driver: open under the misc lock, the module
// held by every open file (fops.owner), write and read refused without the
// matching open mode, the old-style ioctl under the big kernel lock, and the
// release at the last close. A file's calls run in process context with
// the caller's user memory mapped (see uaccess.h).
//
// At power-off every open file is revoked: its later calls fail with EIO
// and its close no longer reaches the driver, so that the modules can be
// unloaded under a program that is still going away.
#ifndef PATERM_BOARD_SIM_KERNEL_MISC_H
#define PATERM_BOARD_SIM_KERNEL_MISC_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/uaccess.h"

namespace sim::kernel {

class Kernel;
class MiscLayer;

// An open file of a misc device. Results are the driver's: >= 0, or a
// negative errno (a driver's -1 is -EPERM).
class KernelFile {
public:
    ~KernelFile() { Close(); }
    KernelFile(const KernelFile&) = delete;
    KernelFile& operator=(const KernelFile&) = delete;

    // write(2) of count bytes at buf; the user memory is [buf, buf + count).
    long Write(const void* buf, size_t count);
    // The same with the user memory given (none: nothing is readable).
    long Write(const void* buf, size_t count, std::vector<UserRange> user);
    long Read(void* buf, size_t count);
    // ioctl(2); arg is passed as it is, the user memory given.
    long Ioctl(unsigned int cmd, unsigned long arg, std::vector<UserRange> user);
    // close(2): the driver's release result (which close(2) ignores).
    int Close();

    const std::string& name() const { return name_; }
    // The calling thread's user memory during the last call: what the driver read.
    uint64_t LastUserAccesses() const { return lastAccesses_; }

private:
    friend class MiscLayer;
    KernelFile(MiscLayer* layer, std::string name, const miscdevice* misc, unsigned int flags);

    MiscLayer* layer_;
    const std::string name_;
    struct module* owner_;
    struct file file_ {};
    struct inode inode_ {};
    bool closed_ = false;
    bool revoked_ = false;  // guarded by the layer's mutex
    uint64_t lastAccesses_ = 0;
};

class MiscLayer {
public:
    using Listener = std::function<void(const std::string& name)>;

    explicit MiscLayer(Kernel* kernel) : kernel_(kernel) {}

    // Told (outside the layer's locks) when "/dev/<name>" appears or goes.
    void SetListeners(Listener added, Listener removed);

    int Register(miscdevice* misc);
    int Deregister(miscdevice* misc);

    // open(2) of "/dev/<name>": 0 and *file, or a negative errno.
    int Open(const std::string& name, unsigned int flags, std::unique_ptr<KernelFile>* file);

    std::vector<std::string> Names() const;
    size_t OpenFiles() const;
    // Power-off: revokes every open file and waits up to grace for the
    // calls in flight to return; false if some did not.
    bool RevokeAll(std::chrono::milliseconds grace);

private:
    friend class KernelFile;
    bool Enter(KernelFile* file);  // false once revoked
    void Leave();
    void Forget(KernelFile* file);

    Kernel* kernel_;
    Listener added_, removed_;
    std::mutex openMutex_;  // misc_mtx: one driver open at a time
    std::mutex bkl_;        // the big kernel lock around old-style ioctl
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::map<int, miscdevice*> devices_;  // by minor
    std::set<KernelFile*> files_;
    int inFlight_ = 0;
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_MISC_H
