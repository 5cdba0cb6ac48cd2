#pragma once

#include <wx/dialog.h>
#include <wx/modalhook.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class MainFrame;

// Runs the GUI thread's queues (queued calls, GTK events, idle deletion of
// closed windows) until `done` holds or the time runs out.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Runs the queues for a while whatever happens.
void PumpFor(std::chrono::milliseconds duration);

// Stands in for the user in front of modal dialogs: every dialog the window
// shows is handed to `answer`, whose result ShowModal returns without the
// dialog ever appearing.
class ScriptedDialogs : public wxModalDialogHook {
public:
    explicit ScriptedDialogs(std::function<int(wxDialog*)> answer);
    ~ScriptedDialogs() override;

    std::vector<std::string> titles;  // of every dialog shown, in order

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog* dialog) override;

private:
    std::function<int(wxDialog*)> answer;
};

// The "[Status] " lines among the lines of `output`, without their tag.
std::vector<std::string> StatusLines(const std::string& output);

// Sends a menu command to the window as the menu bar would.
void SendMenuCommand(MainFrame* frame, int id);
