#include "UrlMasking.h"

#include <cctype>

namespace {

// RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool IsScheme(const std::string& text, std::size_t length)
{
    if (length == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string MaskUrlPassword(const std::string& url)
{
    const std::size_t colon = url.find(':');
    if (colon == std::string::npos || !IsScheme(url, colon)) {
        return url;
    }
    std::size_t authorityBegin = colon + 1;
    for (int slash = 0; slash < 2 && authorityBegin < url.size() && url[authorityBegin] == '/'; ++slash) {
        ++authorityBegin;
    }
    std::size_t authorityEnd = url.find_first_of("/?#", authorityBegin);
    if (authorityEnd == std::string::npos) {
        authorityEnd = url.size();
    }
    const std::size_t at = url.rfind('@', authorityEnd - 1);
    if (at == std::string::npos || at < authorityBegin) {
        return url;
    }
    const std::size_t passwordBegin = url.find(':', authorityBegin);
    if (passwordBegin == std::string::npos || passwordBegin >= at || passwordBegin + 1 == at) {
        return url;
    }
    return url.substr(0, passwordBegin + 1) + "***" + url.substr(at);
}
