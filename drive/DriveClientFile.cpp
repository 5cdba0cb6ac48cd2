// The user's own OAuth client: the JSON file that Google's console downloads
// for a client of type "Desktop app", read with a small strict JSON reader.

#include "DriveClientFile.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

namespace {

// A console download is well under 1 KiB; anything this big is not one.
constexpr size_t kMaxClientFileBytes = 64 * 1024;
// Nesting beyond this is not a client file and must not exhaust the stack.
constexpr int kMaxDepth = 16;

// Reads RFC 8259 JSON. Only what a client file needs is kept: the string
// members of objects directly inside the top-level object. Everything else is
// checked for well-formedness and skipped.
class StrictJsonReader {
public:
    explicit StrictJsonReader(const std::string& text) : text(text) {}

    // Objects of the top-level object by member name, each as its string members.
    using Members = std::map<std::string, std::string>;
    bool ReadTopLevel(std::map<std::string, Members>& objects)
    {
        SkipSpace();
        if (!ReadObject(0, &objects, nullptr))
            return false;
        SkipSpace();
        return pos == text.size();
    }

private:
    // depth 0 is the top-level object (fills objects); depth 1 its member
    // objects (fill strings); deeper values are only checked.
    bool ReadObject(int depth, std::map<std::string, Members>* objects, Members* strings)
    {
        if (depth > kMaxDepth || !Take('{'))
            return false;
        SkipSpace();
        if (Take('}'))
            return true;
        do {
            SkipSpace();
            std::string name;
            if (!ReadString(name))
                return false;
            SkipSpace();
            if (!Take(':'))
                return false;
            SkipSpace();
            if (objects && Peek() == '{') {
                if (!ReadObject(depth + 1, nullptr, &(*objects)[name]))
                    return false;
            } else if (strings && Peek() == '"') {
                if (!ReadString((*strings)[name]))
                    return false;
            } else if (!SkipValue(depth + 1)) {
                return false;
            }
            SkipSpace();
        } while (Take(','));
        return Take('}');
    }

    bool SkipValue(int depth)
    {
        std::string ignored;
        switch (Peek()) {
        case '{':
            return ReadObject(depth, nullptr, nullptr);
        case '[':
            if (depth > kMaxDepth)
                return false;
            ++pos;
            SkipSpace();
            if (Take(']'))
                return true;
            do {
                SkipSpace();
                if (!SkipValue(depth + 1))
                    return false;
                SkipSpace();
            } while (Take(','));
            return Take(']');
        case '"':
            return ReadString(ignored);
        case 't':
            return TakeWord("true");
        case 'f':
            return TakeWord("false");
        case 'n':
            return TakeWord("null");
        default:
            return SkipNumber();
        }
    }

    bool SkipNumber()
    {
        Take('-');
        if (!Take('0') && !TakeDigits())
            return false;
        if (Take('.') && !TakeDigits())
            return false;
        if (Take('e') || Take('E')) {
            if (!Take('+'))
                Take('-');
            if (!TakeDigits())
                return false;
        }
        return true;
    }

    bool ReadString(std::string& out)
    {
        out.clear();
        if (!Take('"'))
            return false;
        while (pos < text.size()) {
            const unsigned char c = static_cast<unsigned char>(text[pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos >= text.size())
                return false;
            const char escape = text[pos++];
            static const std::string kSimple = "\"\\/bfnrt";
            static const std::string kMeaning = "\"\\/\b\f\n\r\t";
            const size_t simple = kSimple.find(escape);
            if (simple != std::string::npos) {
                out += kMeaning[simple];
            } else if (escape != 'u' || !ReadUnicodeEscape(out)) {
                return false;
            }
        }
        return false;
    }

    // The four hex digits after "\u" (and a low surrogate's after a high
    // one), appended as UTF-8.
    bool ReadUnicodeEscape(std::string& out)
    {
        unsigned code = 0;
        if (!ReadHex4(code) || (code >= 0xDC00 && code <= 0xDFFF))
            return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!Take('\\') || !Take('u') || !ReadHex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
        return true;
    }

    bool ReadHex4(unsigned& value)
    {
        if (text.size() - pos < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text[pos++];
            const int digit = (c >= '0' && c <= '9') ? c - '0'
                : (c >= 'a' && c <= 'f')             ? c - 'a' + 10
                : (c >= 'A' && c <= 'F')             ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }

    bool TakeDigits()
    {
        const size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
        return pos > start;
    }

    bool TakeWord(const char* word)
    {
        const std::string expected(word);
        if (text.compare(pos, expected.size(), expected) != 0)
            return false;
        pos += expected.size();
        return true;
    }

    void SkipSpace()
    {
        while (pos < text.size()
               && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }

    char Peek() const { return pos < text.size() ? text[pos] : '\0'; }

    bool Take(char c)
    {
        if (Peek() != c)
            return false;
        ++pos;
        return true;
    }

    const std::string& text;
    size_t pos = 0;
};

std::string HomeDirectory()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

}  // namespace

std::string DefaultClientFilePath()
{
    // The XDG rule the configuration store follows: only an absolute
    // XDG_CONFIG_HOME counts, otherwise ~/.config.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string base = configHome != nullptr && configHome[0] == '/'
        ? std::string(configHome)
        : HomeDirectory() + "/.config";
    return base + "/Orvanta/google-oauth-client.json";
}

ClientFileResult ReadClientFile(const std::string& path)
{
    ClientFileResult result;
    if (::access(path.c_str(), F_OK) != 0) {
        result.kind = ClientFileResult::Kind::Missing;
        return result;
    }
    result.kind = ClientFileResult::Kind::Invalid;
    const std::string prefix = "OAuth client file " + path;

    std::ifstream file(path, std::ios::binary);
    std::string text;
    if (file) {
        // One byte past the cap tells an oversized file from one at the cap.
        text.resize(kMaxClientFileBytes + 1);
        file.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(file.gcount()));
    }
    if (!file && !file.eof()) {
        result.problem = prefix + " could not be read";
        return result;
    }
    if (text.size() > kMaxClientFileBytes) {
        result.problem = prefix + " is larger than 64 KiB";
        return result;
    }

    std::map<std::string, StrictJsonReader::Members> objects;
    if (!StrictJsonReader(text).ReadTopLevel(objects)) {
        result.problem = prefix + " is not valid JSON";
        return result;
    }
    const auto installed = objects.find("installed");
    if (installed == objects.end()) {
        result.problem = prefix + " is not for a client of type \"Desktop app\"";
        return result;
    }
    const std::string& id = installed->second["client_id"];
    const std::string& secret = installed->second["client_secret"];
    if (id.empty() || secret.empty()) {
        result.problem = prefix + " lacks \"client_id\" or \"client_secret\"";
        return result;
    }
    result.kind = ClientFileResult::Kind::Loaded;
    result.credentials = {id, secret};
    return result;
}
