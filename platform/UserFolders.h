#pragma once

#include <string>

// The user's folders as the desktop names them. Safe on any thread; nothing
// here reads a file or blocks.

// $HOME when it is an absolute path, else the account's home from the
// password database; "/" when neither is known.
std::string HomeFolder();

// $XDG_CONFIG_HOME when it is an absolute path, else HomeFolder() + "/.config"
// (the rule the configuration store follows).
std::string ConfigFolder();

// The desktop's pictures folder (the XDG user directory PICTURES, as GLib
// reads it), or HomeFolder() + "/Pictures" where the desktop names none or
// names the home folder itself (which turns the folder off). It may not exist.
std::string DesktopPicturesFolder();
