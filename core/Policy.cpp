#include "core/Policy.h"

#include "core/SentrelSettingsCM.h"
#include "platform/Directories.h"
#include "platform/FileTrust.h"
#include "platform/registry/FileStore.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/RegText.h"
#include "platform/registry/RegTree.h"

#include <cstring>
#include <system_error>

using platform::reg::Key;
using platform::reg::SameName;
using platform::reg::Value;

namespace {

constexpr std::string_view RootName = "HKEY_LOCAL_MACHINE";

std::string Named(const std::string& File) {
    return "The policy file \"" + File + "\"";
}

std::string Ignored(const std::string& File, const std::string& Why) {
    return Named(File) + " is ignored: " + Why + ".";
}

std::string AtLine(size_t Line) {
    return Line == 0 ? std::string() : "line " + std::to_string(Line) + ": ";
}

// The file's text as UTF-8 without a byte-order mark, as the parser sees it.
std::string_view Decoded(std::string_view Bytes, std::string& Converted) {
    if (Bytes.starts_with("\xEF\xBB\xBF"))
        return Bytes.substr(3);
    const bool little =
        Bytes.starts_with("\xFF\xFE") || Bytes.starts_with(std::string_view("W\0i\0", 4));
    const bool big =
        Bytes.starts_with("\xFE\xFF") || Bytes.starts_with(std::string_view("\0W\0i", 4));
    if (!little && !big)
        return Bytes;
    if (Bytes.starts_with("\xFF\xFE") || Bytes.starts_with("\xFE\xFF"))
        Bytes.remove_prefix(2);
    Converted = platform::reg::Utf16ToUtf8(Bytes, big);
    return Converted;
}

// The line that last gives the value Name in the key Path (from below the
// root, with a leading backslash); 0 when none is found. The tree keeps no
// lines, and a value of the wrong type is told by where it is written.
size_t LineOf(std::string_view Bytes, std::string_view Path, std::string_view Name) {
    std::string converted;
    const std::string_view text = Decoded(Bytes, converted);
    size_t line = 0;
    size_t found = 0;
    bool inKey = false;
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view current = text.substr(pos, end - pos);
        pos = end + 1;
        ++line;
        while (!current.empty() && (current.front() == ' ' || current.front() == '\t'))
            current.remove_prefix(1);
        if (current.starts_with('[')) {
            const size_t close = current.rfind(']');
            const std::string_view inner =
                close == std::string_view::npos ? std::string_view() : current.substr(1, close - 1);
            const size_t slash = inner.find('\\');
            inKey = !inner.starts_with('-') && slash != std::string_view::npos &&
                    SameName(inner.substr(slash), Path);
        } else if (inKey && current.starts_with('"')) {
            std::string name;
            for (size_t i = 1; i < current.size() && current[i] != '"'; ++i) {
                if (current[i] == '\\' && i + 1 < current.size() &&
                    (current[i + 1] == '\\' || current[i + 1] == '"'))
                    ++i;
                name += current[i];
            }
            if (SameName(name, Name))
                found = line;
        }
    }
    return found;
}

// A string value's text; REG_EXPAND_SZ and strings kept as bytes are UTF-16.
std::string TextOf(const Value& V) {
    if (V.Type == platform::REG_SZ && !V.Verbatim)
        return V.Data;
    std::string_view bytes = V.Data;
    while (bytes.size() >= 2 && bytes[bytes.size() - 1] == 0 && bytes[bytes.size() - 2] == 0)
        bytes.remove_suffix(2);
    return platform::reg::Utf16ToUtf8(bytes);
}

bool IsText(const Value& V) {
    return V.Type == platform::REG_SZ || V.Type == platform::REG_EXPAND_SZ;
}

bool IsDword(const Value& V) {
    return V.Type == platform::REG_DWORD && V.Data.size() == 4;
}

int32_t DwordOf(const Value& V) {
    uint32_t number = 0;
    for (size_t i = 0; i < 4; ++i)
        number |= static_cast<uint32_t>(static_cast<unsigned char>(V.Data[i])) << (8 * i);
    return static_cast<int32_t>(number);
}

// What makes the whole file unusable.
struct TBroken {
    size_t Line;
    std::string Reason;
};

class TReader {
public:
    TReader(std::string_view Bytes, const std::string& File,
            std::span<const TLockableValue> Lockable, TPolicy& Policy)
        : FBytes(Bytes), FFile(File), FLockable(Lockable), FPolicy(Policy) {}

    void Walk(const Key& K, const std::string& Path) {
        if (IsDeviceKey(Path))
            Device(K, Path);
        else
            for (const Value& value : K.Values())
                Setting(value, Path);
        for (const auto& [folded, child] : K.Children())
            Walk(*child, Path + "\\" + child->Name());
    }

private:
    static bool IsDeviceKey(std::string_view Path) {
        const size_t length = std::strlen(DevicesKey);
        return Path.size() > length + 1 && SameName(Path.substr(0, length), DevicesKey) &&
               Path[length] == '\\' && Path.find('\\', length + 1) == std::string_view::npos;
    }

    [[noreturn]] void Wrong(const std::string& Path, const std::string& Name, const char* Kind) {
        throw TBroken{LineOf(FBytes, Path, Name),
                      "\"" + Name + "\" in " + Path + " must be " + Kind};
    }

    void Unknown(const std::string& Path, const std::string& Name) {
        FPolicy.Problems.push_back(Named(FFile) + ", " + AtLine(LineOf(FBytes, Path, Name)) + "\"" +
                                   Name + "\" in " + Path +
                                   " is not a value a policy sets; it is ignored.");
    }

    void Setting(const Value& V, const std::string& Path) {
        for (size_t i = 0; i < FLockable.size(); ++i) {
            const TLockableValue& lockable = FLockable[i];
            if (!SameName(Path, lockable.Key) || !SameName(V.Name, lockable.Name))
                continue;
            TPolicyValue value{i, 0, {}};
            if (lockable.Kind == TLockableValue::Text) {
                if (!IsText(V))
                    Wrong(Path, V.Name, "a string");
                value.Text = TextOf(V);
            } else {
                if (!IsDword(V))
                    Wrong(Path, V.Name, "a dword");
                value.Number = DwordOf(V);
            }
            FPolicy.Values.push_back(std::move(value));
            return;
        }
        Unknown(Path, V.Name);
    }

    void Device(const Key& K, const std::string& Path) {
        TPolicyDevice device;
        bool hasHost = false;
        for (const Value& value : K.Values()) {
            if (SameName(value.Name, "Host") || SameName(value.Name, "Description")) {
                if (!IsText(value))
                    Wrong(Path, value.Name, "a string");
                (SameName(value.Name, "Host") ? device.Host : device.Description) = TextOf(value);
                hasHost = hasHost || SameName(value.Name, "Host");
            } else if (SameName(value.Name, "DeviceType") || SameName(value.Name, "Monitored")) {
                if (!IsDword(value))
                    Wrong(Path, value.Name, "a dword");
                // As the user's own devices: a type outside the known ones is kept.
                if (SameName(value.Name, "DeviceType"))
                    device.DeviceType = static_cast<TDeviceType>(DwordOf(value) & 0xff);
                else
                    device.Monitored = DwordOf(value) != 0;
            } else {
                Unknown(Path, value.Name);
            }
        }
        if (!hasHost || device.Host.empty())
            throw TBroken{0, "the device " + Path + " has no \"Host\""};
        FPolicy.Devices.push_back(std::move(device));
    }

    std::string_view FBytes;
    const std::string& FFile;
    std::span<const TLockableValue> FLockable;
    TPolicy& FPolicy;
};

} // namespace

TPolicy ParsePolicy(std::string_view Bytes, const std::string& File,
                    std::span<const TLockableValue> Lockable) {
    TPolicy policy;
    policy.File = File;
    try {
        const std::unique_ptr<Key> root = platform::reg::ParseRegFile(Bytes, RootName);
        TReader(Bytes, File, Lockable, policy).Walk(*root, "");
    } catch (const platform::reg::RegFileError& e) {
        policy = TPolicy{File, {}, {}, {Ignored(File, AtLine(e.Line()) + e.what())}};
    } catch (const TBroken& e) {
        policy = TPolicy{File, {}, {}, {Ignored(File, AtLine(e.Line) + e.Reason)}};
    }
    return policy;
}

TPolicy ReadPolicy(std::span<const TLockableValue> Lockable) {
    const std::string path = platform::FindSystemConfigFile(PolicyFileName);
    if (path.empty())
        return {};
    std::string why;
    const std::string file = platform::TrustedAdministratorFile(path, why);
    if (file.empty())
        return TPolicy{path, {}, {}, {Ignored(path, why)}};
    std::string bytes;
    try {
        // Read as it is: never through the user's store, which moves a file
        // that does not read out of the way.
        if (!platform::reg::ReadFileBytes(file, bytes))
            return {}; // gone since it was found
    } catch (const std::system_error& e) {
        return TPolicy{
            path, {}, {}, {Ignored(path, "it cannot be read (" + e.code().message() + ")")}};
    }
    return ParsePolicy(bytes, path, Lockable);
}
