// What the package steps and the installation steps share: the rule that
// one installation runs at a time, the error lines, and shell commands.
#ifndef PATERM_UPGRADE_UPGRADE_INTERNAL_H
#define PATERM_UPGRADE_UPGRADE_INTERNAL_H

#include <atomic>

namespace upgrade {

// Held for one whole installation (a server's package or a peer's download),
// so two never replace the same files at once. A second is refused.
class InstallGuard {
public:
    InstallGuard() : held_(Take()) {}
    ~InstallGuard() {
        if (held_) Give();
    }
    InstallGuard(const InstallGuard&) = delete;
    InstallGuard& operator=(const InstallGuard&) = delete;
    // False (after saying so) when another installation runs.
    bool Held() const;

    // The guard without a scope, for a caller that holds it across calls
    // (a peer download from its first block to its installation).
    static bool Take() { return !Busy().exchange(true); }
    static void Give() { Busy().store(false); }

private:
    static std::atomic<bool>& Busy() {
        static std::atomic<bool> busy{false};
        return busy;
    }
    bool held_;
};

// "Error:  " and the message, as every diagnostic of the program.
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The installation steps for a caller that already holds the guard.
int InstallAppHeld(bool preserveExtOpts);
int InstallKernelHeld();
// The kernel step's outcome as the package installation needs it: a refused
// image leaves /dev/mtd2 untouched; a failed erase or write leaves it
// unbootable until written again.
enum class KernelOutcome { kWritten, kRefused, kDamaged };
KernelOutcome InstallKernelChecked();
// Mends "/opt/lpc3250" after a cut in the middle of its replacement; 1 when
// something was mended.
int RecoverInterrupted();

}  // namespace upgrade

#endif  // PATERM_UPGRADE_UPGRADE_INTERNAL_H
