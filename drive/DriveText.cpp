#include "DriveText.h"

namespace {

const char kCallbackPath[] = "/oauth2callback";

bool IsJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// application/x-www-form-urlencoded decoding, as the provider encodes the
// redirect's query. A malformed escape is kept as it stands.
std::string FormDecode(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0
                   && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string ExtractJsonField(const std::string& json, const std::string& key)
{
    const std::string needle = "\"" + key + "\"";
    const size_t keyPos = json.find(needle);
    if (keyPos == std::string::npos)
        return {};
    const size_t colon = json.find(':', keyPos + needle.size());
    if (colon == std::string::npos || colon + 1 >= json.size())
        return {};
    size_t start = colon + 1;
    while (start < json.size() && IsJsonSpace(json[start]))
        ++start;
    if (start >= json.size())
        return {};
    if (json[start] == '"') {
        const size_t close = json.find('"', start + 1);
        if (close == std::string::npos)
            return {};
        return json.substr(start + 1, close - start - 1);
    }
    const size_t end = json.find_first_of(",}\n\r", start);
    return json.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string ExtractFirstFileId(const std::string& json)
{
    const size_t files = json.find("\"files\"");
    if (files == std::string::npos)
        return {};
    const size_t bracket = json.find('[', files);
    if (bracket == std::string::npos || bracket + 1 >= json.size())
        return {};
    size_t first = bracket + 1;
    while (first < json.size() && IsJsonSpace(json[first]))
        ++first;
    if (first >= json.size() || json[first] == ']')
        return {};
    return ExtractJsonField(json.substr(bracket), "id");
}

RedirectRequest ParseRedirectRequest(const std::string& received)
{
    RedirectRequest request;
    if (received.find("\r\n\r\n") == std::string::npos && received.find("\n\n") == std::string::npos)
        return request;

    request.kind = RedirectRequest::Kind::Other;
    const std::string line = received.substr(0, received.find_first_of("\r\n"));
    const size_t methodEnd = line.find(' ');
    if (methodEnd == std::string::npos || line.compare(0, methodEnd, "GET") != 0)
        return request;
    const size_t targetEnd = line.find(' ', methodEnd + 1);
    const std::string target = line.substr(methodEnd + 1, targetEnd == std::string::npos
                                                            ? std::string::npos
                                                            : targetEnd - methodEnd - 1);
    const size_t queryStart = target.find('?');
    if (target.compare(0, queryStart, kCallbackPath) != 0)
        return request;

    request.kind = RedirectRequest::Kind::Callback;
    if (queryStart == std::string::npos)
        return request;
    const std::string query = target.substr(queryStart + 1, target.find('#') - queryStart - 1);
    bool haveCode = false;
    bool haveState = false;
    bool haveError = false;
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos)
            end = query.size();
        const std::string field = query.substr(pos, end - pos);
        const size_t equals = field.find('=');
        const std::string name = FormDecode(field.substr(0, equals));
        const std::string value = equals == std::string::npos ? std::string()
                                                              : FormDecode(field.substr(equals + 1));
        // The first occurrence counts, so a parameter appended later cannot
        // override the provider's.
        if (name == "code" && !haveCode) {
            request.code = value;
            haveCode = true;
        } else if (name == "state" && !haveState) {
            request.state = value;
            haveState = true;
        } else if (name == "error" && !haveError) {
            request.error = value;
            haveError = true;
        }
        pos = end + 1;
    }
    return request;
}

std::string QueryLiteral(const std::string& text)
{
    std::string literal = "'";
    for (const char c : text) {
        if (c == '\\' || c == '\'')
            literal += '\\';
        literal += c;
    }
    return literal + "'";
}

bool ParseLeadingInteger(const std::string& text, int64_t minValue, int64_t maxValue,
                         int64_t& value)
{
    size_t i = 0;
    while (i < text.size()
           && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return false;
    // minValue is above INT64_MIN, so both limits fit in a positive int64_t.
    const uint64_t limit = negative ? static_cast<uint64_t>(-minValue) : static_cast<uint64_t>(maxValue);
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return value >= minValue && value <= maxValue;
}
