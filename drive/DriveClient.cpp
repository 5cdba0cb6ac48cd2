#include "DriveClient.h"

#include "DriveBuildConfig.h"
#include "DriveSession.h"

#include <thread>
#include <utility>

namespace {

// Marks a blocking call made on the caller's thread as running in the session.
class SessionCall {
public:
    explicit SessionCall(std::shared_ptr<DriveSession> session) : session(std::move(session))
    {
        this->session->ThreadStarted();
    }
    ~SessionCall() { session->ThreadFinished(); }
    SessionCall(const SessionCall&) = delete;
    SessionCall& operator=(const SessionCall&) = delete;

    DriveSession* operator->() const { return session.get(); }

private:
    const std::shared_ptr<DriveSession> session;
};

// Runs body on a detached thread that holds the session alive.
template <typename Body>
void StartSessionThread(const std::shared_ptr<DriveSession>& session, Body body)
{
    session->ThreadStarted();
    try {
        std::thread([session, body = std::move(body)]() {
            body(*session);
            session->ThreadFinished();
        }).detach();
    } catch (...) {
        session->ThreadFinished();
        throw;
    }
}

}  // namespace

DriveEndpoints DriveEndpoints::Default()
{
    return {ORVANTA_OAUTH_AUTH_URL, ORVANTA_OAUTH_TOKEN_URL, ORVANTA_DRIVE_FILES_URL,
            ORVANTA_DRIVE_UPLOAD_URL, "https://www.googleapis.com/auth/drive.file"};
}

DriveCredentials DriveCredentials::BuiltIn()
{
    return {ORVANTA_GOOGLE_CLIENT_ID, ORVANTA_GOOGLE_CLIENT_SECRET};
}

DriveClient::DriveClient(DriveClientOptions options)
    : session(std::make_shared<DriveSession>(std::move(options)))
{
    session->LoadTokens();
}

DriveClient::~DriveClient()
{
    session->BeginShutdown();
    session->WaitForThreads();
}

bool DriveClient::IsAuthenticated() const { return session->IsAuthenticated(); }
bool DriveClient::IsLapsed() const { return session->IsLapsed(); }
void DriveClient::Disconnect() { session->Disconnect(); }
std::string DriveClient::ClientFilePath() const { return session->clientFilePath; }
bool DriveClient::HasCredentials() const { return session->HasCredentials(); }

void DriveClient::Authenticate(CompletionCallback onDone)
{
    DriveCredentials client;
    std::string problem;
    if (!session->ClientForAuthorization(client, problem)) {
        onDone(false, problem);
        return;
    }
    StartSessionThread(session, [client, onDone = std::move(onDone)](DriveSession& s) {
        s.RunAuthorization(client, onDone);
    });
}

UploadResult DriveClient::UploadJpeg(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                                     const std::string& subfolder, bool lookUpFirst,
                                     const std::atomic<bool>& cancel)
{
    const SessionCall call(session);
    return call->UploadJpeg(jpeg, fileName, subfolder, lookUpFirst, cancel);
}
