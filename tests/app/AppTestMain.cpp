#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>

#include <cstdlib>

namespace {

// A failed wx assertion fails the running test instead of opening a dialog
// that nobody will ever close.
void FailOnAssert(const wxString& file, int line, const wxString& function,
                  const wxString& condition, const wxString& message)
{
    ADD_FAILURE() << "wx assertion failed at " << file.utf8_string() << ":" << line << " in "
                  << function.utf8_string() << ": " << condition.utf8_string() << " "
                  << message.utf8_string();
}

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

    wxSetAssertHandler(FailOnAssert);
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
