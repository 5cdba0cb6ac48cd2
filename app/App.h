#pragma once

#include "Application.h"
#include "MainFrame.h"
#include "UiQueue.h"

#include <wx/app.h>

#include <memory>

// The application object: builds the application and its window in one place
// and takes them down in order at exit. The program and the test app run this
// same start-up and exit; only the services differ.
class MyApp : public wxApp {
public:
    // The program gives none and so talks to the real services fixed when it
    // was built.
    explicit MyApp(ApplicationServices services = ApplicationServices(), WindowServices window = WindowServices());

    // Names the application (and with it the configuration store), opens the
    // store, registers the image handlers, installs the icon, builds the
    // application and shows the main window. Reads no option and no
    // environment variable of its own.
    bool OnInit() override;
    int OnExit() override;

private:
    ApplicationServices services;
    WindowServices windowServices;
    UiQueuePtr queue;
    std::unique_ptr<Application> application;
};
