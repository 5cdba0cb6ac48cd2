#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>

#include <cstdlib>

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override
    {
        SetVendorName("Tesselwick");
        SetAppName("Orvanta");
        wxInitAllImageHandlers();
        return true;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);

    // Keep the window off the developer's buses: without a reachable bus the
    // platform services quietly do nothing.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvanta-test-system-bus", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvanta-test-session-bus", 1);

    wxApp::SetInstance(new TestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        return 2;
    }
    int result = 0;
    {
        wxEventLoop loop;
        wxEventLoopActivator activate(&loop);
        result = RUN_ALL_TESTS();
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
