#pragma once
// Help topic routing: help contexts to pages of the help file beside the
// executable, and the binding to the help runtime that shows them.

#include "platform/HtmlHelpApi.h"
#include "platform/Module.h"

#include <string>

namespace hh {

// One row of the context table.
struct HelpTopic {
    int Context;
    const char* Page; // "Sentrel.chm::/system_log.html"
};
extern const HelpTopic HelpTopics[13];

inline constexpr bool AutoLoadHtmlHelp = true;

// Module-wide binding state.
extern platform::ModuleHandle HelpLibraryHandle;
extern PHtmlHelpA HtmlHelpA;
extern PHtmlHelpW HtmlHelpW;
extern PHtmlHelpA HtmlHelp;

// The path handed to the runtime for a context: the executable's directory
// followed by the table's page, or by "Sentrel.chm" for any other context.
std::string HelpPath(int Context);
// The main window's handler of every help request: opens the page for Data
// and sets CallHelp to false. Never fails.
void ApplicationEventsHelp(int Command, int Data, bool& CallHelp);
// Opens the help file at its default page. Never fails.
void HelpActionExecute();

std::string FindHtmlHelpLibrary();
void LoadHtmlHelp();
void UnloadHtmlHelp();
std::string ReplaceSystemRootVariable(const std::string& Path);

} // namespace hh
