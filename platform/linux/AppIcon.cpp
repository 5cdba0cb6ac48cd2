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

// Where the icon may be, in the order it is looked for.
std::vector<std::string> IconCandidates() {
    const std::string directory = ExecutableDirectory();
    if (directory.empty()) {
        return {};
    }
    return {
        directory + "/AppIcon.png",                       // build tree
        directory + "/../share/orvanta/AppIcon.png",      // installed: bin/ and share/orvanta/
    };
}

}  // namespace

void ApplyMacAppIcon() {
    for (const std::string& path : IconCandidates()) {
        GError* rawError = nullptr;
        const gboolean applied = gtk_window_set_default_icon_from_file(path.c_str(), &rawError);
        GErrorPtr error(rawError);
        if (applied) {
            return;
        }
    }
}

std::string AppIconPath() {
    for (const std::string& path : IconCandidates()) {
        if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) {
            // Without the "bin/.." of the installed layout.
            GFreePtr<gchar> canonical(g_canonicalize_filename(path.c_str(), nullptr));
            return canonical.get();
        }
    }
    return {};
}
