// misc_register, misc_deregister and the file operations on misc devices.
#include "board/sim/kernel/misc.h"

#include <fcntl.h>

#include "board/sim/kernel/context.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

constexpr int kEio = 5, kEbadf = 9, kEbusy = 16, kEnodev = 19, kEinval = 22, kEnotty = 25;
constexpr unsigned kMiscMajor = 10, kMinorBits = 20, kDynamicMinor = 255, kDynamicMinors = 64;
constexpr emu_fmode_t kModeRead = 1, kModeWrite = 2;

emu_fmode_t ModeOf(unsigned int flags) {
    switch (flags & O_ACCMODE) {
    case O_RDONLY: return kModeRead;
    case O_WRONLY: return kModeWrite;
    default: return kModeRead | kModeWrite;
    }
}

}  // namespace

KernelFile::KernelFile(MiscLayer* layer, std::string name, const miscdevice* misc, unsigned int flags)
    : layer_(layer), name_(std::move(name)), owner_(misc->fops->owner) {
    file_.f_op = misc->fops;
    file_.f_flags = flags;
    file_.f_mode = ModeOf(flags);
    inode_.i_rdev = (kMiscMajor << kMinorBits) | static_cast<unsigned>(misc->minor);
}

long KernelFile::Write(const void* buf, size_t count) {
    return Write(buf, count, {UserRange{buf, count, false}});
}

long KernelFile::Write(const void* buf, size_t count, std::vector<UserRange> user) {
    if (closed_) return -kEbadf;
    if (!layer_->Enter(this)) return -kEio;
    long result;
    if (!(file_.f_mode & kModeWrite)) {
        result = -kEbadf;
    } else if (!file_.f_op->write) {
        result = -kEinval;
    } else {
        UserSpace space(std::move(user));
        result = file_.f_op->write(&file_, static_cast<const char*>(buf), count, &file_.f_pos);
        lastAccesses_ = space.Accesses();
    }
    layer_->Leave();
    return result;
}

long KernelFile::Read(void* buf, size_t count) {
    if (closed_) return -kEbadf;
    if (!layer_->Enter(this)) return -kEio;
    long result;
    if (!(file_.f_mode & kModeRead)) {
        result = -kEbadf;
    } else if (!file_.f_op->read) {
        result = -kEinval;
    } else {
        UserSpace space({UserRange{buf, count, true}});
        result = file_.f_op->read(&file_, static_cast<char*>(buf), count, &file_.f_pos);
        lastAccesses_ = space.Accesses();
    }
    layer_->Leave();
    return result;
}

long KernelFile::Ioctl(unsigned int cmd, unsigned long arg, std::vector<UserRange> user) {
    if (closed_) return -kEbadf;
    if (!layer_->Enter(this)) return -kEio;
    long result = -kEnotty;
    {
        UserSpace space(std::move(user));
        if (file_.f_op->unlocked_ioctl) {
            result = file_.f_op->unlocked_ioctl(&file_, cmd, arg);
        } else if (file_.f_op->ioctl) {
            std::lock_guard<std::mutex> bkl(layer_->bkl_);
            result = file_.f_op->ioctl(&inode_, &file_, cmd, arg);
        }
        lastAccesses_ = space.Accesses();
    }
    layer_->Leave();
    return result;
}

int KernelFile::Close() {
    if (closed_) return 0;
    closed_ = true;
    int result = 0;
    if (layer_->Enter(this)) {
        if (file_.f_op->release) result = file_.f_op->release(&inode_, &file_);
        layer_->Leave();
    }
    layer_->Forget(this);
    return result;
}

void MiscLayer::SetListeners(Listener added, Listener removed) {
    added_ = std::move(added);
    removed_ = std::move(removed);
}

bool MiscLayer::Enter(KernelFile* file) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file->revoked_) return false;
    ++inFlight_;
    return true;
}

void MiscLayer::Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --inFlight_;
    idle_.notify_all();
}

void MiscLayer::Forget(KernelFile* file) {
    bool drop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        drop = !file->revoked_;  // a revoked file gave its reference back already
        files_.erase(file);
        idle_.notify_all();
    }
    if (drop && file->owner_) kernel_->modules().Put(file->owner_);
}

int MiscLayer::Register(miscdevice* misc) {
    MightSleep("misc_register");
    if (!misc || !misc->name || !misc->fops) return -kEinval;
    {
        std::lock_guard<std::mutex> open(openMutex_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [minor, other] : devices_)
            if (other == misc || std::string(other->name) == misc->name) return -kEbusy;
        if (misc->minor == static_cast<int>(kDynamicMinor)) {
            int minor = static_cast<int>(kDynamicMinors) - 1;
            while (minor >= 0 && devices_.count(minor)) --minor;
            if (minor < 0) return -kEbusy;
            misc->minor = minor;
        } else if (devices_.count(misc->minor)) {
            return -kEbusy;
        }
        devices_[misc->minor] = misc;
        misc->list.next = misc->list.prev = &misc->list;
    }
    if (added_) added_(misc->name);
    return 0;
}

int MiscLayer::Deregister(miscdevice* misc) {
    bool found = false;
    {
        std::lock_guard<std::mutex> open(openMutex_);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = misc ? devices_.find(misc->minor) : devices_.end();
        if (it != devices_.end() && it->second == misc) {
            devices_.erase(it);
            misc->list.next = misc->list.prev = nullptr;
            found = true;
        }
    }
    if (!found) {
        kernel_->ReportBug("misc_deregister of a device that is not registered");
        return -kEinval;
    }
    if (removed_) removed_(misc->name);
    return 0;
}

int MiscLayer::Open(const std::string& name, unsigned int flags, std::unique_ptr<KernelFile>* out) {
    MightSleep("open");
    std::lock_guard<std::mutex> misc(openMutex_);
    std::unique_ptr<KernelFile> file;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const miscdevice* device = nullptr;
        for (const auto& [minor, d] : devices_)
            if (name == d->name) device = d;
        if (!device) return -kEnodev;
        if (device->fops->owner && !kernel_->modules().Get(device->fops->owner)) return -kEnodev;  // going away
        file.reset(new KernelFile(this, name, device, flags));
        files_.insert(file.get());
        ++inFlight_;
    }
    int result = file->file_.f_op->open ? file->file_.f_op->open(&file->inode_, &file->file_) : 0;
    Leave();
    if (result < 0) {
        file->closed_ = true;  // a failed open is never released
        Forget(file.get());
        return result;
    }
    *out = std::move(file);
    return 0;
}

std::vector<std::string> MiscLayer::Names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [minor, d] : devices_) names.emplace_back(d->name);
    return names;
}

size_t MiscLayer::OpenFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.size();
}

bool MiscLayer::RevokeAll(std::chrono::milliseconds grace) {
    std::vector<struct module*> owners;
    std::unique_lock<std::mutex> lock(mutex_);
    for (KernelFile* file : files_) {
        if (file->revoked_) continue;
        file->revoked_ = true;
        if (file->owner_) owners.push_back(file->owner_);
    }
    const bool idle = idle_.wait_for(lock, grace, [&] { return inFlight_ == 0; });
    lock.unlock();
    for (struct module* owner : owners) kernel_->modules().Put(owner);
    return idle;
}

}  // namespace sim::kernel

extern "C" int misc_register(struct miscdevice* misc) {
    return sim::kernel::CurrentOrDie("misc_register").misc().Register(misc);
}

extern "C" int misc_deregister(struct miscdevice* misc) {
    return sim::kernel::CurrentOrDie("misc_deregister").misc().Deregister(misc);
}
