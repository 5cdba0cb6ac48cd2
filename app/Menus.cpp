#include "Menus.h"

#include <wx/menu.h>

wxMenuBar* BuildMenuBar()
{
    auto* driveMenu = new wxMenu;
    driveMenu->Append(wxID_ABOUT, wxString::FromUTF8("&About\tF1"), "Show information about this application");
    driveMenu->Append(wxID_PREFERENCES, wxString::FromUTF8("Settings\u2026\tCtrl-,"), "Edit application settings");
    driveMenu->AppendSeparator();
    driveMenu->Append(wxID_EXIT, "E&xit\tCtrl-Q", "Quit the application");
    driveMenu->Append(ID_DRIVE_CONNECT, "Connect...", "Authenticate with Google Drive");
    driveMenu->Append(ID_DRIVE_DISCONNECT, "Disconnect", "Remove Google Drive authentication");
    driveMenu->Append(ID_OPEN_PICTURES, "Open Picture Folder", "Show the kept motion pictures in the file manager");

    auto* cameraMenu = new wxMenu;
    cameraMenu->Append(ID_ADD_CAMERA, wxString::FromUTF8("&Add Camera\u2026"), "Watch one more camera");
    cameraMenu->Append(ID_CAMERA_SETTINGS, wxString::FromUTF8("Camera &Settings\u2026"),
                       "Name, stream URL and reconnecting of the selected camera");
    cameraMenu->Append(ID_REMOVE_CAMERA, "&Remove Camera", "Stop watching the selected camera");

    auto* donationMenu = new wxMenu;
    donationMenu->Append(ID_DONATION, "Donate...", "Support this project");

    auto* menuBar = new wxMenuBar;
    menuBar->Append(driveMenu, "&Drive");
    menuBar->Append(cameraMenu, "&Camera");
    menuBar->Append(donationMenu, "&Donation");
    return menuBar;
}
