#pragma once

// The user's own OAuth client file (internal to drive/).

#include "DriveTypes.h"

#include <string>

struct ClientFileResult {
    enum class Kind {
        Missing,  // no file at the path
        Loaded,   // credentials holds the file's client
        Invalid,  // problem says, for the status line, what is wrong with it
    };
    Kind kind = Kind::Missing;
    DriveCredentials credentials;
    std::string problem;
};

// <ConfigFolder()>/Orvanta/google-oauth-client.json.
std::string DefaultClientFilePath();

// Reads the "installed" object's "client_id" and "client_secret" from the JSON
// that Google's console downloads for a "Desktop app" client.
ClientFileResult ReadClientFile(const std::string& path);
