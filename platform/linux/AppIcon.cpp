#include "AppIcon.h"

#include "GLibHandles.h"

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace {

// The directory of the running executable, empty when it cannot be told.
std::string ExecutableDirectory() {
    GError* rawError = nullptr;
    GFreePtr<gchar> target(g_file_read_link("/proc/self/exe", &rawError));
    GErrorPtr error(rawError);
    if (!target) {
        return {};
    }
    GFreePtr<gchar> directory(g_path_get_dirname(target.get()));
    return directory.get();
}

}  // namespace

void ApplyMacAppIcon() {
    const std::string directory = ExecutableDirectory();
    if (directory.empty()) {
        return;
    }
    const std::vector<std::string> candidates = {
        directory + "/AppIcon.png",                       // build tree
        directory + "/../share/orvanta/AppIcon.png",      // installed: bin/ and share/orvanta/
    };
    for (const std::string& path : candidates) {
        GError* rawError = nullptr;
        const gboolean applied = gtk_window_set_default_icon_from_file(path.c_str(), &rawError);
        GErrorPtr error(rawError);
        if (applied) {
            return;
        }
    }
}
