#include "DonationDialog.h"

#include "AppConfig.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

void ShowDonationDialog(wxWindow* parent, const std::function<void(const wxString& url)>& openWebPage)
{
    wxDialog dialog(parent, wxID_ANY, "Donate", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE);
    auto* message = new wxStaticText(&dialog, wxID_ANY,
                                     "If you find Orvanta useful, please consider supporting the project.");
    message->Wrap(420);
    auto* support = new wxButton(&dialog, wxID_ANY, "Support Developer");
    auto* later = new wxButton(&dialog, wxID_CLOSE, "Next Time");

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(support, 0, wxRIGHT, 8);
    buttons->Add(later, 0, 0, 0);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(message, 0, wxALL | wxEXPAND, 16);
    sizer->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 16);
    dialog.SetSizerAndFit(sizer);

    support->Bind(wxEVT_BUTTON, [&openWebPage](wxCommandEvent&) { openWebPage(DonationUrl()); });
    later->Bind(wxEVT_BUTTON, [&dialog](wxCommandEvent&) { dialog.EndModal(wxID_CLOSE); });

    dialog.Centre(wxBOTH);
    dialog.ShowModal();
}
