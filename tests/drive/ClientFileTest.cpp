#include "DriveTestFixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

// The user's own OAuth client file: used instead of the built-in client when it
// is sound; otherwise Connect fails at once, says what is wrong with the file,
// falls back to nothing and keeps the tokens stored earlier.
TEST_F(DriveTest, ClientFileDecidesWhichClientConnects)
{
    const std::string sound = R"({"installed":{"client_id":"test-client-\u0069d","project_id":"p-1",)"
        R"("auth_uri":"https:\/\/accounts.google.com\/o\/oauth2\/auth","client_secret":"test-client-secret",)"
        R"("redirect_uris":["http://localhost"],"x":[1.5e3,-0,true,false,null,{}]}})";
    const std::string web = R"({"web":{"client_id":"test-client-id","client_secret":"test-client-secret"}})";
    // File contents ("" no file, "/" a folder, "|" a FIFO), built-in client id, outcome, words of the message.
    const struct { std::string file; const char* builtInId; bool ok; const char* message; } cases[] = {
        {"", "test-client-id", true, "Connected"},
        {"", "", false, "Credentials not loaded"},
        {sound, "built-in-id", true, "Connected"},
        {"/", "test-client-id", false, "could not be read"},
        {"|", "test-client-id", false, "could not be read"},
        {sound + std::string(64 * 1024, ' '), "test-client-id", false, "larger than 64 KiB"},
        {sound.substr(0, 60), "test-client-id", false, "not valid JSON"},
        {sound + "}", "test-client-id", false, "not valid JSON"},
        {R"({"installed":{"client_id":"a\ud800","client_secret":"s"}})", "test-client-id", false, "not valid JSON"},
        {web, "test-client-id", false, "not for a client of type \"Desktop app\""},
        {R"({"installed":{"client_id":"test-client-id","client_secret":""}})", "test-client-id", false,
         "lacks \"client_id\" or \"client_secret\""},
    };
    const std::string path = ClientFile();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 40) + " " + c.message);
        provider.Post("/control/reset");
        std::remove(path.c_str());
        if (c.file == "/")
            ::mkdir(path.c_str(), 0700);
        else if (c.file == "|")
            ::mkfifo(path.c_str(), 0600);
        else if (!c.file.empty())
            std::ofstream(path) << c.file;
        store->Add("", "", "rt-stored");
        settings->Write({{"/GoogleDrive/ClientId", std::nullopt}});  // the last row's sign-in
        DriveClientOptions options = Options();
        options.credentials = {c.builtInId, *c.builtInId ? "test-client-secret" : ""};
        // A reader that opened the FIFO blocking would wait for a writer for
        // ever: from 3 s on one comes now and then, so that fault shows as a slow answer, not a hang.
        std::atomic<bool> rowDone{false};
        std::thread writer([&, since = std::chrono::steady_clock::now()] {
            for (; !rowDone; std::this_thread::sleep_for(50ms))
                if (std::chrono::steady_clock::now() - since > 3s)
                    if (const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0)
                        ::close(fd);
        });
        const auto started = std::chrono::steady_clock::now();
        auto result = std::make_shared<std::promise<std::string>>();
        Start(options).Authenticate([result](bool ok, const std::string& m) { result->set_value(ok ? m : "failed: " + m); });
        std::future<std::string> reported = result->get_future();
        ASSERT_EQ(reported.wait_for(20s), std::future_status::ready);
        const std::string message = reported.get();
        rowDone = true;
        writer.join();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        EXPECT_LT(elapsed.count(), c.ok ? 20000 : 2000);  // a failure at once
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(message.rfind("failed: ", 0) == 0, !c.ok) << message;
        EXPECT_EQ(store->Item() == "rt-stored", !c.ok);
        EXPECT_EQ(Count("authorize"), int(c.ok));
        ::rmdir(path.c_str());
    }
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    DriveClientOptions options = Options();
    options.clientFilePath.clear();
    EXPECT_EQ(DriveClient(options).ClientFilePath(), folder + "/Orvanta/google-oauth-client.json");
    saved ? ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
}
