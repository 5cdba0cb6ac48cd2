#include "AppConfig.h"
#include "AppIcon.h"
#include "MainFrame.h"

#include <wx/app.h>
#include <wx/image.h>

#include <cstdio>

class MyApp : public wxApp {
public:
    bool OnInit() override;
    int OnExit() override;
};

wxIMPLEMENT_APP(MyApp);

bool MyApp::OnInit()
{
    // Diagnostic lines must reach a pipe or a file as they are written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SetVendorName("Tesselwick");
    SetAppName("Orvanta");
    OpenConfigStore();
    wxInitAllImageHandlers();
    ApplyMacAppIcon();

    auto* frame = new MainFrame("Orvanta");
    frame->Show(true);
    return true;
}

int MyApp::OnExit()
{
    CloseConfigStore();
    return wxApp::OnExit();
}
