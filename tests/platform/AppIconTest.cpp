#include "AppIcon.h"

#include "TestDaemons.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct IconProbe {
    std::string output;
    std::string errorOutput;
};

// Runs a copy of the probe from `binDirectory`, so that the icon is looked up
// around that copy instead of the build tree.
IconProbe RunIconProbeFrom(const std::string& binDirectory) {
    const std::string probe = binDirectory + "/platform_probe";
    fs::copy_file(ExecutableDirectory() + "/platform_probe", probe,
                  fs::copy_options::overwrite_existing);
    SpawnOptions options;
    options.argv = {probe, "icon"};
    options.stdoutPath = binDirectory + "/icon.out";
    options.stderrPath = binDirectory + "/icon.err";
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(options);
    EXPECT_TRUE(child);
    if (child) {
        EXPECT_EQ(child->WaitForExit(30s), 0);
    }
    return {ReadFile(options.stdoutPath), ReadFile(options.stderrPath)};
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
    ASSERT_FALSE(prefix.Path().empty());
    const std::string bin = prefix.Path() + "/bin";
    const std::string data = prefix.Path() + "/share/orvanta";
    fs::create_directories(bin);
    fs::create_directories(data);

    IconProbe missing = RunIconProbeFrom(bin);
    EXPECT_EQ(missing.output, "icons 0\n");
    EXPECT_EQ(missing.errorOutput, "");

    WriteFile(data + "/AppIcon.png", "not a picture");
    IconProbe broken = RunIconProbeFrom(bin);
    EXPECT_EQ(broken.output, "icons 0\n");
    EXPECT_EQ(broken.errorOutput, "");

    fs::copy_file(ExecutableDirectory() + "/AppIcon.png", data + "/AppIcon.png",
                  fs::copy_options::overwrite_existing);
    IconProbe installed = RunIconProbeFrom(bin);
    EXPECT_EQ(installed.output, "icons 1\n256x256\n");
    EXPECT_EQ(installed.errorOutput, "");
}

}  // namespace
