#pragma once
// The contract of the help runtime that the program loads by name
// ("hhctrl.ocx" in the system directory) and calls for every help request.

#include <cstdint>

extern "C" {

// HtmlHelpA(caller window, "DIR/Sentrel.chm::/page.html" or "DIR/Sentrel.chm",
// command, data): shows the page; returns the help window's id or 0.
using PHtmlHelpA = uintptr_t (*)(uintptr_t Caller, const char* File, unsigned Command,
                                 uintptr_t Data);
// The wide-character entry: the same with a UTF-32 path (wchar_t on this system).
using PHtmlHelpW = uintptr_t (*)(uintptr_t Caller, const wchar_t* File, unsigned Command,
                                 uintptr_t Data);
}

enum : unsigned {
    HH_DISPLAY_TOPIC = 0,
};
