#include "WireFormat.h"

#include <openssl/evp.h>

namespace {

struct JsonReader {
    const std::string& text;
    size_t pos = 0;

    void SkipSpace()
    {
        while (pos < text.size()
               && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }
    bool Take(char c)
    {
        SkipSpace();
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    bool String(std::string& out)
    {
        if (!Take('"'))
            return false;
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= text.size())
                return false;
            const char e = text[pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (pos + 4 > text.size())
                    return false;
                const unsigned code = static_cast<unsigned>(std::stoul(text.substr(pos, 4), nullptr, 16));
                pos += 4;
                if (code >= 0x80)
                    return false;  // enough for file names made of ASCII
                out += static_cast<char>(code);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
};

}  // namespace

bool ParseFlatJsonObject(const std::string& text, std::map<std::string, std::vector<std::string>>& out)
{
    JsonReader reader{text};
    if (!reader.Take('{'))
        return false;
    if (reader.Take('}'))
        return true;
    do {
        std::string key;
        if (!reader.String(key) || !reader.Take(':'))
            return false;
        std::vector<std::string>& values = out[key];
        if (reader.Take('[')) {
            if (!reader.Take(']')) {
                do {
                    std::string value;
                    if (!reader.String(value))
                        return false;
                    values.push_back(value);
                } while (reader.Take(','));
                if (!reader.Take(']'))
                    return false;
            }
        } else {
            std::string value;
            if (!reader.String(value))
                return false;
            values.push_back(value);
        }
    } while (reader.Take(','));
    if (!reader.Take('}'))
        return false;
    reader.SkipSpace();
    return reader.pos == text.size();
}

std::string JsonQuote(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string S256(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned i = 0; i < length; ++i) {
        buffer = (buffer << 8) | digest[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(buffer >> bits) & 63];
        }
    }
    if (bits > 0)
        out += alphabet[(buffer << (6 - bits)) & 63];
    return out;
}
