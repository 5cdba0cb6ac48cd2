#pragma once

#include <wx/string.h>

#include <string>

// Text that leaves or enters the window through the C library (standard
// output, the stream URL, the analytics identifier) uses the current locale's
// encoding. Under the "C" locale that cannot hold characters such as "…", and
// a failed conversion would silently become an empty string; UTF-8 is used
// then instead.
std::string ToLocaleBytes(const wxString& text);
wxString FromLocaleBytes(const std::string& bytes);
