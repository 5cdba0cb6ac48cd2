#pragma once

// Encodings the fake provider and the test browser read and write, written
// independently of the client's own helpers.

#include <map>
#include <string>
#include <utility>
#include <vector>

std::string FormEncode(const std::string& value);
std::string FormDecode(const std::string& value);
// name=value pairs separated by '&', decoded, in their order.
std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text);
std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                      const std::string& name);

// A JSON object whose values are strings or arrays of strings (Drive file
// metadata). False on anything else, raw control characters included.
bool ParseFlatJsonObject(const std::string& text, std::map<std::string, std::vector<std::string>>& out);
std::string JsonQuote(const std::string& text);

// BASE64URL(SHA-256(text)) without padding: the PKCE S256 transformation.
std::string S256(const std::string& text);
