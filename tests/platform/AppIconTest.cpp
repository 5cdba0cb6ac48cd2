#include "AppIcon.h"

#include "TestDaemons.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Runs a copy of the probe from `binDirectory`, so that the icon is looked up
// around that copy instead of the build tree; its output, then its errors.
std::string RunIconProbeFrom(const std::string& binDirectory) {
    const std::string probe = binDirectory + "/platform_probe";
    fs::copy_file(ExecutableDirectory() + "/platform_probe", probe, fs::copy_options::overwrite_existing);
    SpawnOptions options;
    options.argv = {probe, "icon"};
    options.stdoutPath = binDirectory + "/icon.out";
    options.stderrPath = binDirectory + "/icon.err";
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(options);
    EXPECT_TRUE(child && child->WaitForExit(30s) == 0);
    return ReadFile(options.stdoutPath) + ReadFile(options.stderrPath);
}

TEST(AppIconTest, BuildTreeIconBecomesTheDefaultWindowIcon) {
    ASSERT_TRUE(fs::exists(ExecutableDirectory() + "/AppIcon.png")) << "copied at build time";
    ApplyMacAppIcon();
    GList* icons = gtk_window_get_default_icon_list();
    ASSERT_EQ(g_list_length(icons), 1u);
    GdkPixbuf* icon = GDK_PIXBUF(icons->data);
    EXPECT_EQ(gdk_pixbuf_get_width(icon), 256);
    EXPECT_EQ(gdk_pixbuf_get_height(icon), 256);
    g_list_free(icons);
}

TEST(AppIconTest, InstalledIconIsFoundAndAMissingOrBrokenOneIsIgnoredSilently) {
    TempDir prefix;
    const std::string bin = prefix.Path() + "/bin";
    const std::string data = prefix.Path() + "/share/orvanta";
    fs::create_directories(bin);
    fs::create_directories(data);

    const std::string icon = data + "/AppIcon.png";
    EXPECT_EQ(RunIconProbeFrom(bin), "icons 0\n") << "missing";
    WriteFile(icon, "not a picture");
    EXPECT_EQ(RunIconProbeFrom(bin), "icons 0\n") << "broken";
    fs::copy_file(ExecutableDirectory() + "/AppIcon.png", icon, fs::copy_options::overwrite_existing);
    EXPECT_EQ(RunIconProbeFrom(bin), "icons 1\n256x256\n") << "installed";
}

}  // namespace
