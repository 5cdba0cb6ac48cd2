#pragma once

// The loopback listener that receives the browser's redirect at the end of an
// authorization (RFC 8252): 127.0.0.1 only, on a port the kernel picks.

#include "UniqueFd.h"

#include <atomic>
#include <chrono>
#include <string>

// Listens on a free port of 127.0.0.1 with a close-on-exec socket; returns
// the port, or -1 (the listener then holds no socket).
int BindFreePort(UniqueFd& listener);

struct RedirectWait {
    std::chrono::milliseconds total;           // for the whole authorization
    std::chrono::milliseconds perConnection;   // for one connection to send its request
    int wakeFd = -1;                           // readable: stop at once (may be -1)
    const std::atomic<bool>* stop = nullptr;   // looked at between polls (may be null)
};

// Serves the listener until the first GET of /oauth2callback, the end of the
// wait or a stop. Returns the callback's code when its state is expectedState
// and it carries no error; empty otherwise. Everything else gets a 404 and
// listening goes on. Blocks the calling thread.
std::string WaitForAuthCode(UniqueFd listener, const std::string& expectedState,
                            const RedirectWait& wait);
