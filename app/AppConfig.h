#pragma once

#include <wx/string.h>

class wxConfigBase;

// Creates the application's configuration store, a file in the XDG
// configuration folder named after the application, and installs it as the
// default (wxConfigBase::Get). The file is readable by its owner only: it
// holds camera passwords inside URLs and the Drive access token. A missing,
// unreadable or garbled file never stops start-up. Call after the vendor and
// application names are set. Returns the store (owned by wxConfigBase).
wxConfigBase* OpenConfigStore();

// Writes what is still unsaved and closes the configuration store, without a
// word if that fails. Call from wxApp::OnExit: left to the toolkit's own
// clean-up, a store that cannot be written reports its failure after the
// application object is gone, and the error dialog that tries to open then
// crashes the program. Later readers (a Drive thread finishing late) find no
// store rather than a new one.
void CloseConfigStore();

// Where "Support Developer" leads; fixed when the program is built.
wxString DonationUrl();
