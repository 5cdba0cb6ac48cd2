#include "App.h"

#include "AppConfig.h"
#include "AppIcon.h"

#include <wx/image.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

MyApp::MyApp(MainFrameServices services) : services(std::move(services))
{
    // The program draws nothing with OpenGL, yet GTK, on a display where no
    // GTK program has run yet, loads the GL driver to find the visuals GL
    // could use (with Mesa about 50 MiB of the program's resident memory).
    // Set before GTK starts and before any other thread runs; a setting of
    // the user's own stays.
    setenv("GDK_GL", "disable", 0);
}

bool MyApp::OnInit()
{
    // Diagnostic lines must reach a pipe or a file as they are written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SetVendorName("Tesselwick");
    SetAppName("Orvanta");
    OpenConfigStore();
    wxInitAllImageHandlers();
    ApplyMacAppIcon();

    auto* frame = new MainFrame("Orvanta", std::move(services));
    frame->Show(true);
    // The session ends us with SIGTERM at logout: close as Exit does, so the
    // stream stops and the delivery ends cleanly. The toolkit calls this
    // from its event loop, not from the signal.
    SetSignalHandler(SIGTERM, [](int) {
        if (wxWindow* top = wxTheApp->GetTopWindow()) {
            top->Close(true);
        }
        // The closed window is deleted in idle time, which nothing else
        // would start now.
        wxWakeUpIdle();
    });
    return true;
}

int MyApp::OnExit()
{
    CloseConfigStore();
    return wxApp::OnExit();
}
