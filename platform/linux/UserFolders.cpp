#include "UserFolders.h"

#include <glib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return WithoutTrailingSlashes(home);
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr
        && found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return WithoutTrailingSlashes(found->pw_dir);
    return "/";
}

std::string ConfigFolder()
{
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        return WithoutTrailingSlashes(config);
    return HomeFolder() + "/.config";
}

std::string DesktopPicturesFolder()
{
    const std::string home = HomeFolder();
    // GLib opens user-dirs.dirs whatever it is, and opening a FIFO waits for
    // a writer: only a regular file (or none) is left to GLib to read.
    struct stat info {};
    if (stat((ConfigFolder() + "/user-dirs.dirs").c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return home + "/Pictures";
    const gchar* named = g_get_user_special_dir(G_USER_DIRECTORY_PICTURES);
    if (named == nullptr || named[0] != '/')
        return home + "/Pictures";
    const std::string pictures = WithoutTrailingSlashes(named);
    return pictures == home ? home + "/Pictures" : pictures;
}
