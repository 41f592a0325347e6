#include "platform/registry/Registry.h"

#include "platform/registry/Autostart.h"
#include "platform/registry/FileStore.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/RegText.h"
#include "platform/registry/RegTree.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
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

// Set once, before any accessor reads; read by every accessor after.
std::atomic<bool> gLeaveUnreadable{false};

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
    // Shared by the changes made while one key was open.
    std::shared_ptr<const KeyPath> Path;
    reg::Value Data; // DeleteValue: only the name
};

// Makes changes on a tree in order. The changes made at one open key share
// their path, and only a deleted key can take that key away, so they find
// it once instead of searching the tree level by level for every value.
class Applier {
public:
    explicit Applier(Key& Root) : FRoot(&Root) {}

    // Returns the key changed, or null when there is none (any more).
    Key* Apply(const Change& C) {
        switch (C.What) {
        case Change::CreateKey:
            return &Created(C);
        case Change::SetValue: {
            Key& key = Created(C);
            key.SetValue(C.Data);
            return &key;
        }
        case Change::DeleteValue: {
            Key* key = C.Path.get() == FPath ? FKey : reg::FindKey(*FRoot, *C.Path);
            if (key)
                key->RemoveValue(C.Data.Name);
            return key;
        }
        case Change::DeleteKey:
            reg::RemoveKey(*FRoot, *C.Path);
            FPath = nullptr;
            FKey = nullptr;
            return nullptr;
        }
        return nullptr;
    }

private:
    // As reg::CreateKey, which leaves every key on the way in place and the
    // key itself no longer implied.
    Key& Created(const Change& C) {
        if (C.Path.get() == FPath) {
            FKey->SetImplied(false);
            return *FKey;
        }
        FKey = &reg::CreateKey(*FRoot, *C.Path);
        FPath = C.Path.get();
        return *FKey;
    }

    Key* FRoot;
    const KeyPath* FPath = nullptr;
    Key* FKey = nullptr;
};

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
    // The file Tree was read from (nullopt: there was none), while Tree is
    // that file with the journal applied; Commit need not read it again
    // into a tree when the file still holds exactly these bytes.
    std::optional<std::string> Base;
    bool BaseKnown = false;
    std::optional<Applier> Live; // on Tree
    // The file Tree was read from; none when there was no file.
    std::optional<reg::FileIdentity> ReadIdentity;

    bool KeyOpen = false;
    bool ReadOnly = false;
    bool AtRunKey = false;
    KeyPath Current;
    std::shared_ptr<const KeyPath> CurrentShared; // Current, once a change needs it
    Key* CurrentKey = nullptr;                    // in Tree, once looked up
    bool CurrentFound = false;

    // A deque: a long journal grows without being copied.
    std::deque<Change> Journal;
    std::vector<AutostartChange> AutostartJournal;

    explicit State(RegistryRoot R) : Root(R) {}

    void EnsureLoaded() {
        if (Loaded)
            return;
        StoreFile = StorePath(Root);
        Autostart = reg::AutostartFolder();
        Base = ReadBytes(ReadIdentity);
        SetTree(ReadStore(Base, false, ReadIdentity));
        BaseKnown = true;
        Loaded = true;
    }

    void SetTree(std::unique_ptr<Key> NewTree) {
        Tree = std::move(NewTree);
        Live.emplace(*Tree);
        ForgetCurrentKey();
    }

    void ForgetCurrentKey() {
        CurrentKey = nullptr;
        CurrentFound = false;
    }

    // The file's bytes, or nullopt when there is no file; Identity: of the
    // file read, none when there was none.
    std::optional<std::string> ReadBytes(std::optional<reg::FileIdentity>& Identity) const {
        std::string bytes;
        std::string file; // where a link at StoreFile leads
        reg::FileIdentity identity;
        try {
            file = reg::FollowLinks(StoreFile);
            if (!reg::ReadFileBytes(file, bytes, &identity)) {
                Identity.reset();
                return std::nullopt;
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
        Identity = identity;
        return bytes;
    }

    // The tree of Bytes, the file's contents (nullopt: no file). A file that
    // fails is read again under the lock (into Bytes) before it is judged.
    std::unique_ptr<Key> ReadStore(std::optional<std::string>& Bytes, bool Locked,
                                   std::optional<reg::FileIdentity>& Identity) {
        if (!Bytes)
            return std::make_unique<Key>(RootName(Root));
        try {
            return reg::ParseRegFile(*Bytes, RootName(Root));
        } catch (const reg::RegFileError& e) {
            if (!Locked) {
                // Another copy may be replacing the file this moment: judge
                // it again under the lock before moving it aside.
                std::optional<reg::FileLock> lock;
                try {
                    lock.emplace(LockFile());
                } catch (const std::system_error&) {
                }
                if (lock) {
                    Bytes = ReadBytes(Identity);
                    return ReadStore(Bytes, true, Identity);
                }
            }
            std::string message = "Cannot read settings file \"" + StoreFile + "\": line " +
                                  std::to_string(e.Line()) + ": " + e.what();
            if (gLeaveUnreadable)
                throw ERegistryException(message + " (left as it is)");
            try {
                message +=
                    " (moved aside to \"" + reg::MoveAside(reg::FollowLinks(StoreFile)) + "\")";
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
        return KeyOpen ? OpenTreeKey() : Tree.get();
    }

    // The open key in Tree, or null when it was deleted while open.
    Key* OpenTreeKey() {
        if (!CurrentFound) {
            CurrentKey = reg::FindKey(*Tree, Current);
            CurrentFound = true;
        }
        return CurrentKey;
    }

    std::shared_ptr<const KeyPath> CurrentPath() {
        if (!CurrentShared)
            CurrentShared = std::make_shared<const KeyPath>(Current);
        return CurrentShared;
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
        } else if (!OpenTreeKey()) {
            Fail("Failed to set data for", Name); // deleted while open
        }
    }

    Key* Record(Change C) {
        Key* changed = Live->Apply(C);
        if (C.What == Change::DeleteKey)
            ForgetCurrentKey();
        Journal.push_back(std::move(C));
        return changed;
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
        // Another running copy may have written the file since we read it:
        // then our changes are made again on what it holds now.
        std::optional<reg::FileIdentity> replaced;
        std::optional<std::string> bytes = ReadBytes(replaced);
        std::unique_ptr<Key> fresh;
        // A tree read back from what is written below need not equal Tree in
        // every detail (keys only implied), so a later commit reads it again.
        if (!BaseKnown || bytes != Base) {
            fresh = ReadStore(bytes, true, replaced);
            Applier replay(*fresh);
            for (const auto& change : Journal)
                replay.Apply(change);
        }
        // Some room beyond the old size: a save seldom shrinks the file.
        const size_t sizeHint = bytes ? bytes->size() + bytes->size() / 8 : 0;
        bytes.reset();
        Base.reset();
        BaseKnown = false;
        const Key& result = fresh ? *fresh : *Tree;
        // A link stays a link: the file it leads to is replaced, in its own folder.
        std::string file;
        try {
            file = reg::FollowLinks(StoreFile);
            // Under the lock no save runs: a temporary file here is a killed save's.
            reg::RemoveOrphanedTemporaries(file);
            reg::ReplaceFile(file, reg::WriteRegFile(result, RootName(Root), sizeHint));
            ReadIdentity = reg::IdentityOf(file);
        } catch (const std::system_error& e) {
            FailWrite(e, file);
        }
        if (fresh)
            SetTree(std::move(fresh));
        else
            Live.emplace(*Tree); // the journal it remembers paths of goes
        Journal.clear();
        CurrentShared.reset();
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
    reg::Key* found = nullptr;
    std::shared_ptr<const KeyPath> created;
    if (!runKey) {
        if (s.IsRunKey(path, true))
            return false; // autostart entries have no sub-keys
        found = reg::FindKey(*s.Tree, path);
        if (!found) {
            const bool nameable = path.size() <= reg::MaxKeyDepth &&
                                  std::none_of(path.begin(), path.end(), HasLineBreak);
            if (!CanCreate || !nameable)
                return false;
            created = std::make_shared<const KeyPath>(path);
            found = s.Record({Change::CreateKey, created, {}});
        }
    }
    s.KeyOpen = true;
    s.ReadOnly = false;
    s.AtRunKey = runKey;
    s.Current = std::move(path);
    s.CurrentShared = std::move(created);
    s.CurrentKey = found;
    s.CurrentFound = found != nullptr;
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
    FState->CurrentShared.reset();
    FState->ForgetCurrentKey();
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
    s.Record({Change::SetValue, s.CurrentPath(), {Name, REG_SZ, Value, false}});
}

void TRegistry::WriteInteger(const std::string& Name, int32_t Value) {
    State& s = *FState;
    s.CheckWritable(Name);
    if (s.AtRunKey)
        Fail("Failed to set data for", Name);
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((static_cast<uint32_t>(Value) >> (8 * i)) & 0xFF);
    s.Record({Change::SetValue, s.CurrentPath(), {Name, REG_DWORD, std::move(bytes), false}});
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
    s.Record({Change::DeleteValue, s.CurrentPath(), {Name, REG_NONE, {}, false}});
    return true;
}

bool TRegistry::DeleteKey(const std::string& Key) {
    State& s = *FState;
    s.EnsureLoaded();
    KeyPath path = s.Resolve(Key);
    if (path.empty() || s.IsRunKey(path, true) || !reg::FindKey(*s.Tree, path))
        return false;
    s.Record({Change::DeleteKey, std::make_shared<const KeyPath>(std::move(path)), {}});
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
    if (gLeaveUnreadable)
        throw ERegistryException("Cannot read settings file \"" + s.StoreFile + "\": " + Reason +
                                 " (left as it is)");
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

void TRegistry::LeaveUnreadableFiles() {
    gLeaveUnreadable = true;
}

std::string TRegistry::StorePath(RegistryRoot Root) {
    return reg::ConfigHome() + "/Kestrava/Sentrel/" +
           (Root == RegistryRoot::CurrentUser ? "settings.reg" : "classes.reg");
}

std::string TRegistry::AutostartPath(const std::string& Name) {
    return reg::AutostartFolder() + "/" + Name + ".desktop";
}

} // namespace platform
