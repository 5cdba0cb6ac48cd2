#pragma once

// Pure text helpers of the Drive client: readers of provider answers, of what
// a browser sends the redirect listener and of stored numbers. Only the
// standard library, so the fuzz target builds DriveText.cpp alone.

#include <cstdint>
#include <string>

// One request that reached the authorization redirect listener.
struct RedirectRequest {
    enum class Kind {
        Incomplete,  // the header block has not ended yet
        Callback,    // a GET of /oauth2callback
        Other,       // anything else: answered with 404
    };
    Kind kind = Kind::Incomplete;
    // Query values of a callback, percent-decoded; empty when absent. The
    // first occurrence of each counts.
    std::string code;
    std::string state;
    std::string error;
};

// Reads what a browser sent to the redirect listener so far.
RedirectRequest ParseRedirectRequest(const std::string& received);

// The value of the first "key" in a JSON text, by plain string search; quoted
// values verbatim, bare values up to , } or a line end. Empty when absent.
std::string ExtractJsonField(const std::string& json, const std::string& key);

// The "id" of the first element of the "files" array; empty when none.
std::string ExtractFirstFileId(const std::string& json);

// A string literal of Drive's query language: quoted, with \ and ' escaped.
std::string QueryLiteral(const std::string& text);

// A decimal integer read the way stored texts are read: leading white space
// and a sign accepted, trailing characters ignored. False when no digit leads
// the text or the value lies outside [minValue, maxValue] (minValue > INT64_MIN).
bool ParseLeadingInteger(const std::string& text, int64_t minValue, int64_t maxValue,
                         int64_t& value);
