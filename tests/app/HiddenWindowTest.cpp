// A minimised or hidden window uploads motion but converts frames for its
// preview only once shown again.
#include "WindowFixture.h"
#include "TestCamera.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// Minimising is a request to the window manager, so the test display gets one.
struct WindowManager {
    pid_t pid = -1;
    char* argv[2] = {const_cast<char*>("openbox"), nullptr};
    const bool started = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) == 0;
    ~WindowManager() { if (started && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0); }
};

TEST_F(WindowTest, AMinimisedOrHiddenWindowKeepsUploadingMotionAndConvertsNothingUntilShown)
{
    WindowManager manager;
    FakeProvider provider;
    TestCamera camera;
    ASSERT_TRUE(manager.started && camera.Start() && !provider.Url().empty());
    StoreUrl(camera.Url());
    const auto uploads = [&] { return Uploads(provider); };

    for (const bool minimise : {true, false}) {
        SCOPED_TRACE(minimise ? "minimised" : "hidden");
        MainFrame* frame = Open(WithProvider(provider));
        // Asked again until it holds: the window manager may not listen yet.
        const auto hide = [&](bool on) {
            return PumpUntil([&] { return (frame->IsIconized() || !frame->IsShown()) == on || (minimise ? frame->Iconize(on) : (void)frame->Show(!on), false); }, 20s);
        };
        // Shown long enough to be mapped: hidden at once, a window may be mapped after all and count as shown.
        ASSERT_TRUE(PumpUntil([&, before = uploads()] { return uploads() > before; }, 20s));
        EXPECT_GT(frame->PreviewConversionCount(), 0u);
        ASSERT_TRUE(hide(true));
        const auto conversions = frame->PreviewConversionCount();
        EXPECT_TRUE(PumpUntil([&, atHiding = uploads()] { return uploads() >= atHiding + 2; }, 20s)) << "motion is still found and uploaded";
        EXPECT_EQ(frame->PreviewConversionCount(), conversions) << "converted while nobody sees it";
        ASSERT_TRUE(hide(false));
        EXPECT_TRUE(PumpUntil([&] { return frame->PreviewConversionCount() > conversions; }, 20s)) << "not drawn again";
        frame->Close(true);
        ASSERT_TRUE(PumpUntil([&] { return !frames.back(); }));
    }
}

}  // namespace
