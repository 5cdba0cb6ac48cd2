#include "App.h"

#include "AppConfig.h"
#include "AppIcon.h"
#include "WxConfigStore.h"

#include <wx/image.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

MyApp::MyApp(ApplicationServices services, WindowServices window)
    : services(std::move(services)), windowServices(std::move(window))
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

    queue = std::make_shared<UiQueue>(this);
    if (!services.settings)
        services.settings = std::make_shared<WxConfigStore>();
    services.post = [target = queue](std::function<void()> call) { target->Post(std::move(call)); };
    application = std::make_unique<Application>(std::move(services));
    auto* frame = new MainFrame("Orvanta", *application, queue, std::move(windowServices));
    frame->Show(true);
    application->Start();
    // The session ends us with SIGTERM at logout: close as Exit does, so the
    // streams stop and the delivery ends cleanly. The toolkit calls this
    // from its event loop, not from the signal.
    SetSignalHandler(SIGTERM, [](int) {
        if (wxWindow* top = wxTheApp->GetTopWindow())
            top->Close(true);
        // The closed window is deleted in idle time, which nothing else
        // would start now.
        wxWakeUpIdle();
    });
    return true;
}

int MyApp::OnExit()
{
    // The window has gone and the cameras have stopped; now the picture
    // folder's threads and the Drive client end.
    application.reset();
    if (queue)
        queue->Detach();
    CloseConfigStore();
    return wxApp::OnExit();
}
