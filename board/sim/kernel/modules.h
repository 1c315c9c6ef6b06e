// The modules the emulated kernel can load: the netlink event module (part
// of the emulated kernel, standing in for the terminal's) and the two
// modules of this system, compiled in from kernel/codecdrv and
// kernel/ctrldrv. Loading runs the module's init (a failing init leaves it
// unloaded); unloading is refused while a module that needs it is loaded or
// while its files are open (each open file holds its fops.owner), unless
// forced at power-off after the files were revoked.
#ifndef PATERM_BOARD_SIM_KERNEL_MODULES_H
#define PATERM_BOARD_SIM_KERNEL_MODULES_H

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "board/sim/kernel/include/emu/kabi.h"

namespace sim::kernel {

struct ModuleInfo {
    std::string name;
    std::string license;
    std::string description;
    std::string author;
    std::string vermagic;
    std::vector<std::string> needs;
    bool loaded = false;
    int refs = 0;  // open files
};

class ModuleTable {
public:
    struct Definition {
        const char* name;
        int (*init)();
        void (*exit)();  // null: the module cannot be unloaded
        struct module* (*self)();
        const char* license;
        const char* description;
        const char* author;
        std::vector<const char*> needs;
    };

    ModuleTable();

    // 0, or -ENOENT (unknown, or a needed module is not loaded), -EEXIST,
    // or the init's error.
    int Load(std::string_view name);
    // 0, or -ENOENT (not loaded), -EBUSY (in use, needed, or permanent).
    int Unload(std::string_view name, bool force);
    // Power-off: every loaded module, newest first.
    void UnloadAll();

    std::vector<ModuleInfo> List() const;
    bool IsLoaded(std::string_view name) const;

    // An open file's hold on its owner: false while the module is not live.
    bool Get(struct module* owner);
    void Put(struct module* owner);

private:
    enum class State { kUnloaded, kLoading, kLive, kGoing };
    struct Entry {
        Definition def;
        State state = State::kUnloaded;
        int refs = 0;
    };
    Entry* Find(std::string_view name);  // mutex held
    Entry* Find(struct module* owner);   // mutex held

    std::mutex loadMutex_;  // one load or unload at a time
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<std::string> order_;  // loaded, oldest first
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_MODULES_H
