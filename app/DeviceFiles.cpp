#include "app/DeviceFiles.h"

#include "app/SingleInstance.h"
#include "core/LogFormat.h"
#include "core/SentrelSettingsCM.h"
#include "core/import/DeviceImport.h"
#include "platform/registry/Registry.h"

#include <exception>
#include <memory>

namespace {

void Say(std::FILE* To, const std::string& Line) {
    std::fputs(Line.c_str(), To);
    std::fputc('\n', To);
}

// "standard input" for "-", else the file's name as a message shows it.
std::string Named(const std::string& File, const char* Dash) {
    return File == "-" ? Dash : "\"" + VisibleText(File) + "\"";
}

// Reads the settings without ever moving the user's file aside: a script
// that meets a damaged file stops and leaves it for its owner to see.
bool LoadSettings(TSentrelSettings& Settings, const char* NothingDone, std::FILE* Err) {
    platform::TRegistry::LeaveUnreadableFiles();
    try {
        Settings.Load();
        return true;
    } catch (const std::exception& e) {
        Say(Err, std::string("sentrel: ") + e.what() + "; " + NothingDone);
        return false;
    }
}

} // namespace

int ImportDevices(const std::string& File, std::FILE* Out, std::FILE* Err) {
    std::unique_ptr<platform::TInstanceLock> lock;
    if (const auto refused = ClaimSettings(TCopyKind::Import, lock))
        return *refused;

    std::string text;
    try {
        text = ReadImportFile(File);
    } catch (const EImportFile& e) {
        Say(Err, "sentrel: " + e.Message() + "; nothing was imported");
        return 2;
    }
    TSentrelSettings settings(nullptr);
    if (!LoadSettings(settings, "nothing was imported", Err))
        return 2;

    const TImportPlan plan = PlanImport(text, *settings.Devices());
    // Saved before anything is told, so that "added" is never printed for a
    // device the settings do not hold. Nothing to add leaves the file alone.
    if (plan.ToAdd > 0) {
        try {
            ImportAndSave(plan, settings);
        } catch (const std::exception& e) {
            Say(Err, std::string("sentrel: ") + e.what() + "; nothing was imported");
            return 2;
        }
    }
    // The texts come from the file as they are: a line of it may hold
    // anything, which must neither split a line of the report nor steer
    // the terminal.
    for (const std::string& note : plan.Notes)
        Say(Err, "sentrel: " + Named(File, "standard input") + ": " + VisibleText(note));
    for (const TImportEntry& entry : plan.Entries) {
        switch (entry.Outcome) {
        case TImportOutcome::Add:
            Say(Out, "added " + VisibleText(entry.Host));
            break;
        case TImportOutcome::Duplicate:
            Say(Out, VisibleText(ImportEntryMessage(entry)));
            break;
        case TImportOutcome::Invalid:
            Say(Err, VisibleText(ImportEntryMessage(entry)));
            break;
        }
    }
    // Told after the fact: "4 added", not "4 to add".
    std::string summary = ImportSummary(plan);
    summary.replace(summary.find(" to add"), 7, " added");
    Say(Out, summary);
    std::fflush(Out);
    return plan.Invalid > 0 ? 1 : 0;
}

int ExportDevices(const std::string& File, std::FILE* Out, std::FILE* Err) {
    // Only reads the settings: a running copy may save meanwhile, which
    // replaces the file whole, so this reads the old one or the new one.
    TSentrelSettings settings(nullptr);
    if (!LoadSettings(settings, "nothing was exported", Err))
        return 2;
    try {
        WriteExportFile(File, DevicesCsv(*settings.Devices()));
    } catch (const EImportFile& e) {
        Say(Err, "sentrel: " + e.Message() + "; nothing was exported");
        return 2;
    }
    if (File != "-")
        Say(Out, std::to_string(settings.Devices()->Count()) + " devices exported to " +
                     Named(File, "standard output"));
    return 0;
}
