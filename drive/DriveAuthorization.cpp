// Loopback OAuth authorization (RFC 8252) with state and PKCE (RFC 7636).

#include "DesktopLauncher.h"
#include "DriveSession.h"
#include "RedirectListener.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

std::string Base64Url(const unsigned char* bytes, size_t length)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    size_t i = 0;
    for (; i + 2 < length; i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == length) {
        const unsigned v = bytes[i] << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (i + 2 == length) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

// A fresh unguessable value of byteCount random bytes, base64url-encoded
// (unreserved characters only); empty when no randomness could be had.
std::string RandomToken(size_t byteCount)
{
    std::vector<unsigned char> bytes(byteCount);
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        return {};
    return Base64Url(bytes.data(), bytes.size());
}

// The S256 code challenge of a verifier; empty on failure.
std::string CodeChallenge(const std::string& verifier)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return {};
    return Base64Url(digest, digestLength);
}

}  // namespace

void DriveSession::RunAuthorization(const DriveCredentials& client,
                                    const CompletionCallback& onDone)
{
    const std::string state = RandomToken(32);
    const std::string codeVerifier = RandomToken(48);
    const std::string codeChallenge = CodeChallenge(codeVerifier);
    if (state.empty() || codeVerifier.empty() || codeChallenge.empty()) {
        onDone(false, "Could not prepare the authorization request");
        return;
    }

    UniqueFd listener;
    const int port = BindFreePort(listener);
    if (port < 0) {
        onDone(false, "Failed to bind local port for OAuth callback");
        return;
    }

    // The loopback literal, not "localhost": the listener is IPv4 only and a
    // browser trying ::1 first would not reach it.
    const std::string redirectUri = "http://127.0.0.1:" + std::to_string(port) + "/oauth2callback";
    const std::string authUrl = endpoints.authUrl + "?client_id=" + UrlEncode(client.clientId)
        + "&redirect_uri=" + UrlEncode(redirectUri) + "&response_type=code&scope="
        + UrlEncode(endpoints.scope) + "&access_type=offline&prompt=consent&state=" + state
        + "&code_challenge=" + codeChallenge + "&code_challenge_method=S256";
    const bool opened = launchBrowser ? launchBrowser(authUrl) : OpenWithDesktop(authUrl);
    if (!opened)
        DriveLog("[Drive] Could not open the browser for authorization\n");

    const std::string code = WaitForAuthCode(
        std::move(listener), state,
        {timings.redirectWait, timings.connectionReadTimeout, wakeRead.Get(), &shuttingDown});
    if (code.empty()) {
        onDone(false, "No authorization code received");
        return;
    }
    if (ExchangeCodeForTokens(code, redirectUri, codeVerifier, client)) {
        onDone(true, "Connected to Google Drive");
    } else {
        onDone(false, "Token exchange failed — check client credentials");
    }
}
