#pragma once

#include <string>

// Returns url with the password of its user information replaced by "***",
// for showing a camera URL to the user; everything else is kept byte for
// byte. The user information is read the way FFmpeg reads it when it
// connects: the authority runs from after "scheme:" (and up to two slashes)
// to the first '/', '?' or '#'; the user information ends at the last '@'
// inside it; the password is what follows its first ':'. Text that is not
// such a URL, or has no password, comes back unchanged.
std::string MaskUrlPassword(const std::string& url);
