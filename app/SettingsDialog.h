#pragma once

#include "Application.h"

#include <optional>

class wxWindow;

// Drive > Settings...: the selected camera's URL and reconnecting, desktop
// notifications and the picture folder. Modal; the values the user accepted
// with OK, or none. The URL field comes first, focused and selected, so that
// typing replaces it and Return applies it.
std::optional<GeneralSettings> AskGeneralSettings(wxWindow* parent, const GeneralSettings& current);
