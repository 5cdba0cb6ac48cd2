// libFuzzer target for the client's parsers of untrusted text: provider
// responses and whatever reaches the redirect listener.

#include "DriveText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The first byte chooses a key, so keys with and without quotes get tried.
    const std::string key = size > 0 && (data[0] & 1) ? text.substr(1, data[0] % 8) : "id";
    const std::string field = ExtractJsonField(text, key);
    if (field.size() > text.size() || (!field.empty() && text.find(field) == std::string::npos))
        std::abort();

    const std::string id = ExtractFirstFileId(text);
    if (id.size() > text.size())
        std::abort();

    const RedirectRequest request = ParseRedirectRequest(text);
    if (request.kind == RedirectRequest::Kind::Callback && text.compare(0, 4, "GET ") != 0)
        std::abort();
    if (request.code.size() > text.size() || request.state.size() > text.size())
        std::abort();
    return 0;
}
