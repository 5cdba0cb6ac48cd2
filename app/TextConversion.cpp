#include "TextConversion.h"

std::string ToLocaleBytes(const wxString& text)
{
    if (text.empty()) {
        return {};
    }
    const wxCharBuffer converted = text.mb_str(wxConvLibc);
    if (converted.length() > 0) {
        return std::string(converted.data(), converted.length());
    }
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

wxString FromLocaleBytes(const std::string& bytes)
{
    if (bytes.empty()) {
        return {};
    }
    wxString converted(bytes.data(), wxConvLibc, bytes.size());
    if (!converted.empty()) {
        return converted;
    }
    return wxString::FromUTF8(bytes.data(), bytes.size());
}
