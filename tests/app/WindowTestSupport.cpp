#include "WindowTestSupport.h"

#include "MainFrame.h"

#include <wx/app.h>
#include <wx/evtloop.h>

#include <sstream>
#include <thread>

namespace {

void RunQueuesOnce()
{
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    if (loop != nullptr) {
        while (loop->Pending()) {
            loop->Dispatch();
        }
    }
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
}

}  // namespace

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        RunQueuesOnce();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void PumpFor(std::chrono::milliseconds duration)
{
    PumpUntil([] { return false; }, duration);
}

ScriptedDialogs::ScriptedDialogs(std::function<int(wxDialog*)> answer) : answer(std::move(answer))
{
    Register();
}

ScriptedDialogs::~ScriptedDialogs()
{
    Unregister();
}

int ScriptedDialogs::Enter(wxDialog* dialog)
{
    titles.push_back(dialog->GetTitle().utf8_string());
    return answer(dialog);
}

void ScriptedDialogs::Exit(wxDialog*) {}

std::vector<std::string> StatusLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    const std::string tag = "[Status] ";
    while (std::getline(in, line)) {
        if (line.compare(0, tag.size(), tag) == 0) {
            lines.push_back(line.substr(tag.size()));
        }
    }
    return lines;
}

void SendMenuCommand(MainFrame* frame, int id)
{
    wxCommandEvent event(wxEVT_MENU, id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
}
