#pragma once

#include <wx/string.h>

#include <functional>
#include <optional>

class wxWindow;
#include <string>


// What Camera > Add Camera... and Camera Settings... edit.
struct CameraFields {
    std::string name;
    std::string url;
    bool reconnect = false;
};

// Why the fields cannot be taken (a sentence for the user), or empty.
using CameraFieldsCheck = std::function<std::string(const CameraFields& fields)>;

// A modal dialog with the camera's name, its RTSP URL and its Reconnect
// choice. OK is refused, with the reason shown in the dialog, while `check`
// finds fault; the values accepted (name and URL trimmed), or none.
std::optional<CameraFields> AskCameraFields(wxWindow* parent, const wxString& title, const CameraFields& current,
                                            const CameraFieldsCheck& check);
