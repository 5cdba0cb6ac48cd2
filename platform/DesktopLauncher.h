#pragma once

#include <string>

// Opens a web address or a folder with the desktop's default application
// (xdg-open), without a shell, and returns at once; false when the opener
// could not be started. Any thread.
bool OpenWithDesktop(const std::string& target);
