#include "platform/registry/Registry.h"

#include "platform/registry/Autostart.h"
#include "platform/registry/FileStore.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/RegText.h"
#include "platform/registry/RegTree.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <system_error>

namespace platform {

using reg::Key;
using reg::KeyPath;

namespace {

const std::array<std::string_view, 5> RunKeyPath = {"software", "microsoft", "windows",
                                                    "currentversion", "run"};

std::string RootName(RegistryRoot Root) {
    return Root == RegistryRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_CLASSES_ROOT";
}

[[noreturn]] void Fail(const char* What, const std::string& Name) {
    throw ERegistryException(std::string(What) + " '" + Name + "'");
}

bool HasLineBreak(std::string_view Name) {
    return Name.find_first_of("\r\n") != std::string::npos;
}

// Text of a UTF-16 string value, without its terminating zeros.
std::string Utf16Text(std::string_view Bytes) {
    while (Bytes.size() >= 2 && Bytes[Bytes.size() - 1] == 0 && Bytes[Bytes.size() - 2] == 0)
        Bytes.remove_suffix(2);
    return reg::Utf16ToUtf8(Bytes);
}

// The size of a value's data as a reader gets it: text with its terminating
// zero, anything else as stored.
size_t DataSize(const reg::Value& V) {
    if (V.Type == REG_SZ && !V.Verbatim)
        return V.Data.size() + 1;
    if (V.Type == REG_SZ || V.Type == REG_EXPAND_SZ)
        return Utf16Text(V.Data).size() + 1;
    return V.Data.size();
}

// One change to the tree, kept so Commit can make it again on the file as it
// is then.
struct Change {
    enum Kind { CreateKey, SetValue, DeleteValue, DeleteKey } What;
    KeyPath Path;
    reg::Value Data; // DeleteValue: only the name
};

void Apply(Key& Root, const Change& C) {
    switch (C.What) {
    case Change::CreateKey:
        reg::CreateKey(Root, C.Path);
        break;
    case Change::SetValue:
        reg::CreateKey(Root, C.Path).SetValue(C.Data);
        break;
    case Change::DeleteValue:
        if (Key* key = reg::FindKey(Root, C.Path))
            key->RemoveValue(C.Data.Name);
        break;
    case Change::DeleteKey:
        reg::RemoveKey(Root, C.Path);
        break;
    }
}

// An autostart entry to write (Program set) or remove.
struct AutostartChange {
    std::string Name;
    std::optional<std::string> Program;
};

} // namespace

struct TRegistry::State {
    RegistryRoot Root;
    bool Loaded = false;
    std::string StoreFile;
    std::string Autostart;
    std::unique_ptr<Key> Tree;
    // The file Tree was read from; none when there was no file.
    std::optional<reg::FileIdentity> ReadIdentity;

    bool KeyOpen = false;
    bool ReadOnly = false;
    bool AtRunKey = false;
    KeyPath Current;

    std::vector<Change> Journal;
    std::vector<AutostartChange> AutostartJournal;

    explicit State(RegistryRoot R) : Root(R) {}

    void EnsureLoaded() {
        if (Loaded)
            return;
        StoreFile = StorePath(Root);
        Autostart = reg::AutostartFolder();
        Tree = ReadStore(false, ReadIdentity);
        Loaded = true;
    }

    // Identity: of the file read, none when there was none.
    std::unique_ptr<Key> ReadStore(bool Locked, std::optional<reg::FileIdentity>& Identity) {
        std::string bytes;
        std::string file; // where a link at StoreFile leads
        reg::FileIdentity identity;
        try {
            file = reg::FollowLinks(StoreFile);
            if (!reg::ReadFileBytes(file, bytes, &identity)) {
                Identity.reset();
                return std::make_unique<Key>(RootName(Root));
            }
        } catch (const reg::NotRegularFileError& e) {
            throw ERegistryException(
                "Cannot read settings file \"" + StoreFile + "\": " +
                (file == StoreFile ? "it is " : "it leads to \"" + file + "\", which is ") +
                e.Kind() + ", not a regular file");
        } catch (const std::system_error& e) {
            throw ERegistryException("Cannot read settings file \"" + StoreFile +
                                     "\": " + e.code().message());
        }
        try {
            std::unique_ptr<Key> tree = reg::ParseRegFile(bytes, RootName(Root));
            Identity = identity;
            return tree;
        } catch (const reg::RegFileError& e) {
            if (!Locked) {
                // Another copy may be replacing the file this moment: judge
                // it again under the lock before moving it aside.
                std::optional<reg::FileLock> lock;
                try {
                    lock.emplace(LockFile());
                } catch (const std::system_error&) {
                }
                if (lock)
                    return ReadStore(true, Identity);
            }
            std::string message = "Cannot read settings file \"" + StoreFile + "\": line " +
                                  std::to_string(e.Line()) + ": " + e.what();
            try {
                message += " (moved aside to \"" + reg::MoveAside(file) + "\")";
            } catch (const std::system_error& moveError) {
                message += " (it could not be moved aside: " + moveError.code().message() + ")";
            }
            throw ERegistryException(message);
        }
    }

    std::string LockFile() const { return StoreFile + ".lock"; }

    bool IsRunKey(const KeyPath& Path, bool OrBelow = false) const {
        if (Root != RegistryRoot::CurrentUser || Path.size() < RunKeyPath.size() ||
            (Path.size() > RunKeyPath.size() && !OrBelow))
            return false;
        for (size_t i = 0; i < RunKeyPath.size(); ++i)
            if (reg::Fold(Path[i]) != RunKeyPath[i])
                return false;
        return true;
    }

    KeyPath Resolve(const std::string& Path) const {
        KeyPath names;
        if (KeyOpen && !Path.starts_with('\\'))
            names = Current;
        for (size_t from = 0; from <= Path.size();) {
            size_t slash = Path.find('\\', from);
            if (slash == std::string::npos)
                slash = Path.size();
            if (slash > from)
                names.push_back(Path.substr(from, slash - from));
            from = slash + 1;
        }
        return names;
    }

    // The key reads look at: the open one, or the root when none is.
    Key* ReadKey() {
        EnsureLoaded();
        return KeyOpen ? reg::FindKey(*Tree, Current) : Tree.get();
    }

    const reg::Value* FindValue(const std::string& Name) {
        Key* key = ReadKey();
        return key ? key->FindValue(Name) : nullptr;
    }

    void CheckWritable(const std::string& Name) {
        EnsureLoaded();
        if (!KeyOpen || ReadOnly || HasLineBreak(Name))
            Fail("Failed to set data for", Name);
        if (AtRunKey) {
            if (!reg::IsAutostartName(Name))
                Fail("Failed to set data for", Name);
        } else if (!reg::FindKey(*Tree, Current)) {
            Fail("Failed to set data for", Name); // deleted while open
        }
    }

    void Record(Change C) {
        Apply(*Tree, C);
        Journal.push_back(std::move(C));
    }

    // The program the Run value Name starts, counting changes not yet committed.
    std::optional<std::string> RunValue(const std::string& Name) {
        const std::string folded = reg::Fold(Name);
        const auto latest =
            std::find_if(AutostartJournal.rbegin(), AutostartJournal.rend(),
                         [&](const auto& change) { return reg::Fold(change.Name) == folded; });
        if (latest != AutostartJournal.rend())
            return latest->Program;
        const std::string file = reg::FindAutostartEntry(Autostart, Name);
        return file.empty() ? std::nullopt : reg::ReadAutostartEntry(file);
    }

    std::vector<std::string> RunValueNames() {
        std::map<std::string, std::string> names;
        for (auto& name : reg::AutostartNames(Autostart))
            names.emplace(reg::Fold(name), std::move(name));
        for (const auto& change : AutostartJournal) {
            if (change.Program)
                names.emplace(reg::Fold(change.Name), change.Name);
            else
                names.erase(reg::Fold(change.Name));
        }
        std::vector<std::string> list;
        list.reserve(names.size());
        for (auto& [folded, name] : names)
            list.push_back(std::move(name));
        return list;
    }

    [[noreturn]] void FailWrite(const std::system_error& Error,
                                const std::string& File = {}) const {
        const std::string link =
            File.empty() || File == StoreFile ? "" : " (a link to \"" + File + "\")";
        throw ERegistryException("Cannot write settings file \"" + StoreFile + "\"" + link + ": " +
                                 Error.code().message());
    }

    void CommitStore() {
        std::optional<reg::FileLock> lock;
        try {
            reg::MakeFolders(reg::FolderOf(StoreFile));
            lock.emplace(LockFile());
        } catch (const std::system_error& e) {
            FailWrite(e);
        }
        // Another running copy may have written the file since we read it.
        std::optional<reg::FileIdentity> replaced;
        std::unique_ptr<Key> fresh = ReadStore(true, replaced);
        for (const auto& change : Journal)
            Apply(*fresh, change);
        // A link stays a link: the file it leads to is replaced, in its own folder.
        std::string file;
        try {
            file = reg::FollowLinks(StoreFile);
            // Under the lock no save runs: a temporary file here is a killed save's.
            reg::RemoveOrphanedTemporaries(file);
            reg::ReplaceFile(file, reg::WriteRegFile(*fresh, RootName(Root)));
            ReadIdentity = reg::IdentityOf(file);
        } catch (const std::system_error& e) {
            FailWrite(e, file);
        }
        Tree = std::move(fresh);
        Journal.clear();
    }

    void CommitAutostart() {
        size_t done = 0;
        try {
            for (; done < AutostartJournal.size(); ++done) {
                const AutostartChange& change = AutostartJournal[done];
                std::string file = reg::FindAutostartEntry(Autostart, change.Name);
                if (change.Program) {
                    if (file.empty())
                        file = AutostartPath(change.Name);
                    WriteEntry(file, *change.Program);
                } else if (!file.empty() && reg::ReadAutostartEntry(file)) {
                    // A hidden entry is left alone: it may be switching off
                    // a system-wide entry of the same name.
                    RemoveEntry(file);
                }
            }
        } catch (...) {
            AutostartJournal.erase(AutostartJournal.begin(),
                                   AutostartJournal.begin() + static_cast<ptrdiff_t>(done));
            throw;
        }
        AutostartJournal.clear();
    }

    void WriteEntry(const std::string& File, const std::string& Program) {
        try {
            reg::MakeFolders(Autostart);
            reg::ReplaceFile(File, reg::AutostartEntryText(Program));
        } catch (const std::system_error& e) {
            throw ERegistryException("Cannot write autostart entry \"" + File +
                                     "\": " + e.code().message());
        }
    }

    void RemoveEntry(const std::string& File) {
        try {
            reg::RemoveFile(File);
        } catch (const std::system_error& e) {
            throw ERegistryException("Cannot remove autostart entry \"" + File +
                                     "\": " + e.code().message());
        }
    }
};

TRegistry::TRegistry(RegistryRoot Root) : FState(std::make_unique<State>(Root)) {}

TRegistry::~TRegistry() = default;

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
    State& s = *FState;
    s.EnsureLoaded();
    KeyPath path = s.Resolve(Key);
    const bool runKey = s.IsRunKey(path);
    if (!runKey) {
        if (s.IsRunKey(path, true))
            return false; // autostart entries have no sub-keys
        if (!reg::FindKey(*s.Tree, path)) {
            const bool nameable = path.size() <= reg::MaxKeyDepth &&
                                  std::none_of(path.begin(), path.end(), HasLineBreak);
            if (!CanCreate || !nameable)
                return false;
            s.Record({Change::CreateKey, path, {}});
        }
    }
    s.KeyOpen = true;
    s.ReadOnly = false;
    s.AtRunKey = runKey;
    s.Current = std::move(path);
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& Key) {
    if (!OpenKey(Key, false))
        return false;
    FState->ReadOnly = true;
    return true;
}

void TRegistry::CloseKey() {
    FState->KeyOpen = FState->ReadOnly = FState->AtRunKey = false;
    FState->Current.clear();
}

bool TRegistry::KeyExists(const std::string& Key) {
    State& s = *FState;
    s.EnsureLoaded();
    const KeyPath path = s.Resolve(Key);
    if (s.IsRunKey(path))
        return true;
    return !s.IsRunKey(path, true) && reg::FindKey(*s.Tree, path) != nullptr;
}

std::vector<std::string> TRegistry::GetKeyNames() {
    std::vector<std::string> names;
    const Key* key = FState->ReadKey();
    if (key && !FState->AtRunKey)
        for (const auto& [folded, child] : key->Children())
            names.push_back(child->Name());
    return names;
}

std::vector<std::string> TRegistry::GetValueNames() {
    const Key* key = FState->ReadKey();
    if (FState->AtRunKey)
        return FState->RunValueNames();
    std::vector<std::string> names;
    if (key)
        for (const auto& value : key->Values())
            names.push_back(value.Name);
    return names;
}

bool TRegistry::ValueExists(const std::string& Name) {
    return GetDataType(Name) != REG_NONE;
}

RegDataType TRegistry::GetDataType(const std::string& Name) {
    FState->EnsureLoaded();
    if (FState->AtRunKey)
        return FState->RunValue(Name) ? REG_SZ : REG_NONE;
    const reg::Value* value = FState->FindValue(Name);
    return value ? static_cast<RegDataType>(value->Type) : REG_NONE;
}

std::string TRegistry::ReadString(const std::string& Name) {
    FState->EnsureLoaded();
    if (FState->AtRunKey)
        return FState->RunValue(Name).value_or("");
    const reg::Value* value = FState->FindValue(Name);
    if (!value)
        return {};
    if (value->Type == REG_SZ)
        return value->Verbatim ? Utf16Text(value->Data) : value->Data;
    if (value->Type == REG_EXPAND_SZ)
        return Utf16Text(value->Data);
    Fail("Invalid data type for", Name);
}

int32_t TRegistry::ReadInteger(const std::string& Name) {
    FState->EnsureLoaded();
    if (FState->AtRunKey) {
        const std::optional<std::string> program = FState->RunValue(Name);
        if (program && program->size() < 4)
            Fail("Invalid data type for", Name);
        Fail("Failed to get data for", Name);
    }
    const reg::Value* value = FState->FindValue(Name);
    // As the registry's own reader: data longer than four bytes cannot be got,
    // whatever its type, nor a DWORD of another size; only then does the type count.
    if (!value || (value->Type == REG_DWORD ? value->Data.size() != 4 : DataSize(*value) > 4))
        Fail("Failed to get data for", Name);
    if (value->Type != REG_DWORD)
        Fail("Invalid data type for", Name);
    uint32_t number = 0;
    for (size_t i = 0; i < 4; ++i)
        number |= static_cast<uint32_t>(static_cast<uint8_t>(value->Data[i])) << (8 * i);
    return static_cast<int32_t>(number);
}

void TRegistry::WriteString(const std::string& Name, const std::string& Value) {
    State& s = *FState;
    s.CheckWritable(Name);
    if (s.AtRunKey) {
        if (Value.find('\0') != std::string::npos)
            Fail("Failed to set data for", Name); // no command line holds one
        s.AutostartJournal.push_back({Name, Value});
        return;
    }
    s.Record({Change::SetValue, s.Current, {Name, REG_SZ, Value, false}});
}

void TRegistry::WriteInteger(const std::string& Name, int32_t Value) {
    State& s = *FState;
    s.CheckWritable(Name);
    if (s.AtRunKey)
        Fail("Failed to set data for", Name);
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((static_cast<uint32_t>(Value) >> (8 * i)) & 0xFF);
    s.Record({Change::SetValue, s.Current, {Name, REG_DWORD, std::move(bytes), false}});
}

bool TRegistry::DeleteValue(const std::string& Name) {
    State& s = *FState;
    s.EnsureLoaded();
    if (!s.KeyOpen || s.ReadOnly)
        return false;
    if (s.AtRunKey) {
        if (!s.RunValue(Name))
            return false;
        s.AutostartJournal.push_back({Name, std::nullopt});
        return true;
    }
    if (!s.FindValue(Name))
        return false;
    s.Record({Change::DeleteValue, s.Current, {Name, REG_NONE, {}, false}});
    return true;
}

bool TRegistry::DeleteKey(const std::string& Key) {
    State& s = *FState;
    s.EnsureLoaded();
    KeyPath path = s.Resolve(Key);
    if (path.empty() || s.IsRunKey(path, true) || !reg::FindKey(*s.Tree, path))
        return false;
    s.Record({Change::DeleteKey, std::move(path), {}});
    return true;
}

void TRegistry::Commit() {
    State& s = *FState;
    if (!s.Journal.empty())
        s.CommitStore();
    if (!s.AutostartJournal.empty())
        s.CommitAutostart();
}

void TRegistry::RejectStore(const std::string& Reason) {
    State& s = *FState;
    if (!s.Loaded || !s.ReadIdentity)
        throw ERegistryException(Reason);
    std::string where;
    try {
        // Under the lock no save can put a new file in place between the look and the move.
        reg::FileLock lock(s.LockFile());
        const std::string file = reg::FollowLinks(s.StoreFile);
        if (reg::IdentityOf(file) != s.ReadIdentity)
            throw ERegistryException(Reason); // replaced since: that one did not fail
        where = "the settings file was moved aside to \"" + reg::MoveAside(file) + "\"";
        s.ReadIdentity.reset();
    } catch (const std::system_error& e) {
        where = "the settings file could not be moved aside: " + e.code().message();
    }
    throw ERegistryException(Reason + " (" + where + ")");
}

std::string TRegistry::StorePath(RegistryRoot Root) {
    return reg::ConfigHome() + "/Kestrava/Sentrel/" +
           (Root == RegistryRoot::CurrentUser ? "settings.reg" : "classes.reg");
}

std::string TRegistry::AutostartPath(const std::string& Name) {
    return reg::AutostartFolder() + "/" + Name + ".desktop";
}

} // namespace platform
