// Board sessions onto kernel files.
#include "board/sim/kernel/misc_node.h"

#include <cerrno>
#include <memory>
#include <vector>

namespace sim::kernel {
namespace {

constexpr long kErestartsys = 512;

class MiscSession : public DeviceSession {
public:
    explicit MiscSession(std::unique_ptr<KernelFile> file) : file_(std::move(file)) {}

    IoResult Read(uint8_t* buf, size_t count) override { return ToResult(file_->Read(buf, count)); }
    IoResult Write(const uint8_t* buf, size_t count) override { return ToResult(file_->Write(buf, count)); }
    IoResult Ioctl(unsigned long request, uint64_t rawArg, std::vector<uint8_t>* arg) override {
        // The bytes the request carries are the argument. A null pointer from
        // the program stays null, and a request without bytes passes the
        // program's value with nothing mapped there.
        std::vector<UserRange> user;
        unsigned long pointer = static_cast<unsigned long>(rawArg);
        if (rawArg != 0 && !arg->empty()) {
            pointer = reinterpret_cast<unsigned long>(arg->data());
            user.push_back({arg->data(), arg->size(), true});
        }
        return ToResult(file_->Ioctl(static_cast<unsigned int>(request), pointer, std::move(user)));
    }
    void Release() override { file_->Close(); }

private:
    static IoResult ToResult(long result) {
        return result < 0 ? IoResult::Failed(ErrnoOf(result)) : IoResult::Done(result);
    }

    std::unique_ptr<KernelFile> file_;
};

}  // namespace

int ErrnoOf(long result) {
    const long e = -result;
    if (e == kErestartsys) return EINTR;
    if (e <= 0 || e > 4095) return EIO;
    return static_cast<int>(e);
}

OpenResult MiscDeviceNode::Open(int flags) {
    std::unique_ptr<KernelFile> file;
    const int result = misc_->Open(name_, static_cast<unsigned int>(flags), &file);
    if (result < 0) return OpenResult::Failed(ErrnoOf(result));
    OpenResult opened;
    opened.session = std::make_unique<MiscSession>(std::move(file));
    return opened;
}

}  // namespace sim::kernel
