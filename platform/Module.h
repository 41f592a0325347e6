#pragma once
// Loading a module by name at run time and finding its entry points by name.
// A Windows module name such as "icmp.dll" stands for the shared object
// "icmp.so" in the module directory (the executable's directory unless a
// test sets another). Tests can also register an in-process module under a
// name; a registered module is found before any file.

#include <map>
#include <string>

namespace platform {

using ModuleHandle = void*;

// nullptr when the module cannot be loaded.
ModuleHandle LoadLibrary(const std::string& Name);
// nullptr when the module has no such entry.
void* GetProcAddress(ModuleHandle Module, const std::string& ProcName);
void FreeLibrary(ModuleHandle Module);

// The folder searched for module files.
std::string ModuleDirectory();

// Test hooks.
void SetModuleDirectory(const std::string& Directory); // empty: the executable's directory
void RegisterModule(const std::string& Name, std::map<std::string, void*> Entries);
void UnregisterModule(const std::string& Name);

} // namespace platform
