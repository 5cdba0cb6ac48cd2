#pragma once

#include <wx/string.h>

#include <functional>

class wxWindow;

// Donation > Donate...: a short request with "Support Developer", which opens
// the donation page through `openWebPage` and leaves the dialog open, and
// "Next Time". Modal; nothing is recorded.
void ShowDonationDialog(wxWindow* parent, const std::function<void(const wxString& url)>& openWebPage);
