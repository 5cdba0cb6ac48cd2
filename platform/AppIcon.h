#pragma once

#include <string>

// Makes the shipped AppIcon.png the default icon of every window the program
// opens. Looks next to the executable (build tree), then in the installed data
// directory (../share/orvanta relative to the executable). A missing or
// unreadable file leaves the default icon; nothing is reported.
//
// Call once on the GUI thread after the toolkit is initialised and before the
// main window is created.
void ApplyMacAppIcon();

// The absolute path of the shipped AppIcon.png, looked for in the same places
// as ApplyMacAppIcon; empty when neither file exists. Safe on any thread.
std::string AppIconPath();
