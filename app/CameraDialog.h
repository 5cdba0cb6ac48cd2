#pragma once

#include "Application.h"

class wxWindow;

// Camera > Add Camera...: a modal dialog with the new camera's name, its RTSP
// URL and its Reconnect choice, then the camera is added. OK is refused, with
// the reason shown in the dialog, while the name or the URL cannot be taken.
void AddCameraFromUser(wxWindow* parent, Application& application);

// Camera > Camera Settings...: the same dialog for `camera`, then the changes
// are applied.
void ChangeCameraFromUser(wxWindow* parent, Application& application, CameraId camera);
