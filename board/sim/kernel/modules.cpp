// The module table: the compiled-in modules' entry points and information.
#include "board/sim/kernel/modules.h"

#include <algorithm>

#include "board/sim/kernel/context.h"
#include "board/sim/kernel/kernel.h"

// What module_init, module_exit and MODULE_* define in each module's object.
#define EMU_MODULE_SYMBOLS(mod)                                                \
    extern "C" int __emu_init_##mod(void);                                     \
    extern "C" void __emu_exit_##mod(void) __attribute__((weak));              \
    extern "C" struct module* __emu_module_##mod(void);                        \
    extern "C" const char __emu_license_##mod[] __attribute__((weak));         \
    extern "C" const char __emu_description_##mod[] __attribute__((weak));     \
    extern "C" const char __emu_author_##mod[] __attribute__((weak));

#define EMU_MODULE_DEFINITION(mod, ...)                                                                      \
    ModuleTable::Definition {                                                                                \
        #mod, __emu_init_##mod, __emu_exit_##mod, __emu_module_##mod, __emu_license_##mod,                   \
            __emu_description_##mod, __emu_author_##mod, { __VA_ARGS__ }                                     \
    }

EMU_MODULE_SYMBOLS(codecdrv)
EMU_MODULE_SYMBOLS(ctrldrv)

namespace sim::kernel {
namespace {

constexpr int kEnoent = 2, kEexist = 17, kEbusy = 16;

struct module gNetlinkModule = {Kernel::kNetlinkModule};

int NetlinkInit() {
    CurrentOrDie("netlink module").netlink().Load();
    return 0;
}

void NetlinkExit() { CurrentOrDie("netlink module").netlink().Unload(); }

struct module* NetlinkSelf() { return &gNetlinkModule; }

const char* OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

ModuleTable::ModuleTable() {
    entries_.push_back({Definition{Kernel::kNetlinkModule, NetlinkInit, NetlinkExit, NetlinkSelf, "GPL",
                                   "Kernel events to user space over netlink (board stand-in)", "", {}}});
    entries_.push_back({EMU_MODULE_DEFINITION(codecdrv)});
    entries_.push_back({EMU_MODULE_DEFINITION(ctrldrv, Kernel::kNetlinkModule)});
}

ModuleTable::Entry* ModuleTable::Find(std::string_view name) {
    for (Entry& e : entries_)
        if (name == e.def.name) return &e;
    return nullptr;
}

ModuleTable::Entry* ModuleTable::Find(struct module* owner) {
    for (Entry& e : entries_)
        if (e.def.self() == owner) return &e;
    return nullptr;
}

int ModuleTable::Load(std::string_view name) {
    std::lock_guard<std::mutex> serial(loadMutex_);
    int (*init)();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry* e = Find(name);
        if (!e) return -kEnoent;
        if (e->state != State::kUnloaded) return -kEexist;
        for (const char* need : e->def.needs) {
            Entry* n = Find(need);
            if (!n || n->state != State::kLive) return -kEnoent;  // unknown symbol
        }
        e->state = State::kLoading;
        init = e->def.init;
    }
    const int result = init();
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = Find(name);
    e->state = result == 0 ? State::kLive : State::kUnloaded;
    e->refs = 0;
    if (result == 0) order_.emplace_back(name);
    return result;
}

int ModuleTable::Unload(std::string_view name, bool force) {
    std::lock_guard<std::mutex> serial(loadMutex_);
    void (*exit)();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry* e = Find(name);
        if (!e || e->state != State::kLive) return -kEnoent;
        if (!e->def.exit) return -kEbusy;
        if (!force) {
            if (e->refs > 0) return -kEbusy;
            for (const Entry& other : entries_)
                if (other.state == State::kLive)
                    for (const char* need : other.def.needs)
                        if (name == need) return -kEbusy;
        }
        e->state = State::kGoing;
        exit = e->def.exit;
    }
    exit();
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = Find(name);
    e->state = State::kUnloaded;
    e->refs = 0;
    order_.erase(std::find(order_.begin(), order_.end(), name));
    return 0;
}

void ModuleTable::UnloadAll() {
    for (;;) {
        std::string newest;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (order_.empty()) return;
            newest = order_.back();
        }
        if (Unload(newest, true) != 0) {  // permanent: leave it, and what it needs
            std::lock_guard<std::mutex> lock(mutex_);
            order_.pop_back();
        }
    }
}

std::vector<ModuleInfo> ModuleTable::List() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ModuleInfo> list;
    for (const Entry& e : entries_) {
        ModuleInfo info;
        info.name = e.def.name;
        info.license = OrEmpty(e.def.license);
        info.description = OrEmpty(e.def.description);
        info.author = OrEmpty(e.def.author);
        info.vermagic = EMU_VERMAGIC;
        for (const char* need : e.def.needs) info.needs.emplace_back(need);
        info.loaded = e.state == State::kLive;
        info.refs = e.refs;
        list.push_back(std::move(info));
    }
    return list;
}

bool ModuleTable::IsLoaded(std::string_view name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_)
        if (name == e.def.name) return e.state == State::kLive;
    return false;
}

bool ModuleTable::Get(struct module* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = Find(owner);
    if (!e) return true;  // not a module of the table: nothing to hold
    if (e->state != State::kLive && e->state != State::kLoading) return false;  // a module's init may be opened
    ++e->refs;
    return true;
}

void ModuleTable::Put(struct module* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = Find(owner);
    if (e && e->refs > 0) --e->refs;
}

}  // namespace sim::kernel
