#include "platform/Module.h"

#include "platform/Process.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

namespace platform {
namespace {

// What a handle points at: a registered in-process module or a dlopen handle.
struct LoadedModule {
    const std::map<std::string, void*>* Entries = nullptr;
    void* Library = nullptr;
};

struct ModuleTable {
    std::mutex Lock;
    std::string Directory;
    std::map<std::string, std::map<std::string, void*>> Registered;
};

ModuleTable& Table() {
    static ModuleTable table;
    return table;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "icmp.dll" -> "icmp.so"; a name with a path or another suffix is kept.
std::string FileNameFor(const std::string& name) {
    const std::string lower = Lower(name);
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".dll") == 0)
        return name.substr(0, name.size() - 4) + ".so";
    return name;
}

} // namespace

std::string ModuleDirectory() {
    std::lock_guard<std::mutex> lock(Table().Lock);
    return Table().Directory.empty() ? ExecutableDirectory() : Table().Directory;
}

ModuleHandle LoadLibrary(const std::string& Name) {
    {
        auto& table = Table();
        std::lock_guard<std::mutex> lock(table.Lock);
        auto it = table.Registered.find(Lower(Name));
        if (it != table.Registered.end())
            return new LoadedModule{&it->second, nullptr};
    }
    std::string path = FileNameFor(Name);
    if (path.find('/') == std::string::npos) {
        std::string dir = ModuleDirectory();
        if (!dir.empty() && dir.back() != '/')
            dir += '/';
        path = dir + path;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return nullptr;
    return new LoadedModule{nullptr, library};
}

void* GetProcAddress(ModuleHandle Module, const std::string& ProcName) {
    auto* module = static_cast<LoadedModule*>(Module);
    if (module == nullptr)
        return nullptr;
    if (module->Entries != nullptr) {
        auto it = module->Entries->find(ProcName);
        return it == module->Entries->end() ? nullptr : it->second;
    }
    return dlsym(module->Library, ProcName.c_str());
}

void FreeLibrary(ModuleHandle Module) {
    auto* module = static_cast<LoadedModule*>(Module);
    if (module == nullptr)
        return;
    if (module->Library != nullptr)
        dlclose(module->Library);
    delete module;
}

void SetModuleDirectory(const std::string& Directory) {
    std::lock_guard<std::mutex> lock(Table().Lock);
    Table().Directory = Directory;
}

void RegisterModule(const std::string& Name, std::map<std::string, void*> Entries) {
    std::lock_guard<std::mutex> lock(Table().Lock);
    Table().Registered[Lower(Name)] = std::move(Entries);
}

void UnregisterModule(const std::string& Name) {
    std::lock_guard<std::mutex> lock(Table().Lock);
    Table().Registered.erase(Lower(Name));
}

} // namespace platform
