#pragma once

// Encodings the fake provider reads and writes, written independently of the
// client's own helpers. The form and URL encodings are in LoopbackHttp.h.

#include <map>
#include <string>
#include <vector>

// A JSON object whose values are strings or arrays of strings (Drive file
// metadata). False on anything else, raw control characters included.
bool ParseFlatJsonObject(const std::string& text, std::map<std::string, std::vector<std::string>>& out);
std::string JsonQuote(const std::string& text);

// BASE64URL(SHA-256(text)) without padding: the PKCE S256 transformation.
std::string S256(const std::string& text);
