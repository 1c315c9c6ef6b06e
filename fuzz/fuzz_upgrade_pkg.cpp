// Upgrade packages: the input is the downloaded "/tmp/upgrade_app.bin",
// installed as the server's upgrade command installs it (header and
// descriptions read, both files extracted and checked; the standalone seam
// runs no shell, so nothing is unpacked or flashed). The packing tool's
// reader reads the same bytes.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_pack.h"

namespace {
constexpr const char* kPackagePath = "/tmp/upgrade_app.bin";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::BoardRoot();
    // The kernel partition, a file of 64 KiB on the board root.
    const std::vector<uint8_t> partition(64 * 1024, 0xFF);
    fuzzsupport::WriteFile("/dev/mtd2", partition.data(), partition.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::WriteFile(kPackagePath, data, size);
    UpgradeInstallPackage(kPackagePath);

    upgrade::PackListing listing;
    std::string why;
    upgrade::ReadPackage(std::vector<uint8_t>(data, data + size), &listing, &why);
    return 0;
}
