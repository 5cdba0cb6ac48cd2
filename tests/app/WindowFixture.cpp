#include "WindowFixture.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <sstream>
#include <thread>

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) {
            while (loop->Pending()) {
                loop->Dispatch();
            }
        }
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
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

std::vector<std::string> StatusLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    const std::string tag = "[Status] ";
    for (std::string line; std::getline(in, line);) {
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

bool MenuItemEnabled(MainFrame* frame, int id)
{
    wxUpdateUIEvent event(id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
    return event.GetEnabled();
}

std::string AnswerSettings(MainFrame* frame, const std::string& text, int result)
{
    std::string shown = "<no URL field>";
    ScriptedDialogs user([&](wxDialog* dialog) {
        auto* field = wxDynamicCast(dialog->FindWindowByName("rtspUrl"), wxTextCtrl);
        if (field == nullptr) return static_cast<int>(wxID_CANCEL);
        shown = field->GetValue().utf8_string();
        field->SetValue(wxString::FromUTF8(text));
        return result;
    });
    SendMenuCommand(frame, wxID_PREFERENCES);
    EXPECT_EQ(user.titles, std::vector<std::string>{"Settings"});
    return shown;
}

std::vector<uint8_t> SceneFrame(int squareX, uint8_t level)
{
    constexpr int kWidth = 320;
    std::vector<uint8_t> frame(kWidth * 240 * 3, level);
    for (int y = 60; squareX >= 0 && y < 180; ++y) {
        for (int x = squareX; x < std::min(kWidth, squareX + 120); ++x) {
            uint8_t* pixel = &frame[(static_cast<size_t>(y) * kWidth + x) * 3];
            pixel[0] = pixel[1] = pixel[2] = 240;
        }
    }
    return frame;
}

wxString WindowTest::Label(MainFrame* frame)
{
    auto* label = wxDynamicCast(wxWindow::FindWindowByName("statusText", frame), wxStaticText);
    return label != nullptr ? label->GetLabel() : wxString("<no label>");
}

bool WindowTest::Shows(MainFrame* frame, const wxString& text)
{
    return Label(frame) == text && frame->GetStatusBar()->GetStatusText(0) == text;
}
