#pragma once

#include "MainFrame.h"

#include <wx/app.h>

// The application object. The program and the test app run this same
// start-up and exit; only the window's services differ.
class MyApp : public wxApp {
public:
    // `services`: what the window's engine objects talk to. The program gives
    // none and so talks to the real services fixed when it was built.
    explicit MyApp(MainFrameServices services = MainFrameServices());

    // Names the application (and with it the configuration store), opens the
    // store, registers the image handlers, installs the icon and shows the
    // main window. Reads no option and no environment variable of its own.
    bool OnInit() override;
    int OnExit() override;

private:
    MainFrameServices services;
};
