#pragma once

#include "DriveTypes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DriveSession;

// The Google Drive client: signs in through the browser (OAuth loopback
// redirect with PKCE), keeps and refreshes the tokens, finds or creates the
// "Orvanta" folder and its subfolders, and uploads JPEG pictures into them.
//
// Threading: every operation may be called from any thread. Authenticate
// returns at once and goes on on a thread of its own; UploadJpeg blocks its
// caller. Destroying the client ends a waiting authorization, aborts running
// transfers and waits up to timings.shutdownGrace for them; their completions
// may still be called during or after destruction.
class DriveClient {
public:
    // Reads the stored tokens and lapsed state; tokens of another OAuth client
    // than the one in use now (the client file's, else the built-in one) are
    // forgotten, and onAuthorizationLost says so.
    explicit DriveClient(DriveClientOptions options = DriveClientOptions());
    ~DriveClient();

    DriveClient(const DriveClient&) = delete;
    DriveClient& operator=(const DriveClient&) = delete;

    // True while a refresh token is held.
    bool IsAuthenticated() const;
    // True from the moment the client forgets the authorization by itself (the
    // moment onAuthorizationLost is called for) until a Connect succeeds or
    // the user disconnects; kept across runs.
    bool IsLapsed() const;

    // Starts one authorization in the browser and returns at once. The client
    // file is read again first: a file that cannot be used fails the attempt
    // at once and leaves the stored tokens as they are.
    void Authenticate(CompletionCallback onDone);
    // The user's Disconnect: forgets every token, in memory and in both
    // stores, and the lapsed state. No request is made.
    void Disconnect();

    // Where the user's own client file is looked for.
    std::string ClientFilePath() const;
    // True when Authenticate has a client to name: a client file or built-in credentials.
    bool HasCredentials() const;

    // One attempt to upload a JPEG as fileName into the "Orvanta" folder, or
    // into "Orvanta/<subfolder>" when subfolder is not empty. Each folder is
    // found, or created when Drive's search answers that there is none, once
    // per run. With lookUpFirst (after an Unknown outcome) Drive is first asked
    // whether that folder already holds these very bytes. Blocks; returns soon
    // (about a second) after cancel becomes true.
    UploadResult UploadJpeg(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                            const std::string& subfolder, bool lookUpFirst,
                            const std::atomic<bool>& cancel);

private:
    std::shared_ptr<DriveSession> session;
};
