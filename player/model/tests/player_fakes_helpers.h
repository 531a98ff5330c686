#pragma once
// A stream controller and a frame that record what the player asks of them.

#include "player/model/framemodel.h"
#include "player/model/playerids.h"

#include <map>
#include <string>
#include <vector>

namespace playertest {

class FakeController : public player::StreamController
{
public:
    bool IsInitialized() override { return initialized; }
    bool Initialize(const player::PlayerRect& rect, player::FrameView&, QvPropertyList* list,
                    QvMessageQueue* messages) override
    {
        calls.push_back("Initialize");
        initRect = rect;
        queue = messages;
        initialized = !failInitialize && list != nullptr;
        return initialized;
    }
    void UnInitialize() override
    {
        calls.push_back("UnInitialize");
        initialized = false;
    }
    int Play() override { return Record("Play"); }
    int Pause() override { return Record("Pause"); }
    int Stop() override { return Record("Stop"); }
    void SetPosition(double) override { Record("SetPosition"); }
    double GetPosition() override { return 1.5; }
    double GetLength() override { return 3.0; }
    void SetVolume(int value) override
    {
        calls.push_back("SetVolume " + std::to_string(value));
        volume = value;
    }
    int GetVolume() override { return volume; }
    int GetStreamState() override { return initialized ? 2 : 0; }
    void SetFrame(player::FrameView&) override { Record("SetFrame"); }
    void SetDisplayMode(int mode) override
    {
        calls.push_back("SetDisplayMode " + std::to_string(mode));
    }
    void NewWindow() override { Record("NewWindow"); }
    void Periodic() override { Record("Periodic"); }
    bool HasWindow() override { return initialized; }
    void MoveWindow(const player::PlayerRect&) override { Record("MoveWindow"); }
    void LowerWindow() override { Record("LowerWindow"); }
    void MoveWindowTo(player::FrameView&) override { Record("MoveWindowTo"); }

    int Record(const std::string& call)
    {
        calls.push_back(call);
        return 0;
    }

    bool initialized = false;
    bool failInitialize = false;
    int volume = 100;
    player::PlayerRect initRect;
    QvMessageQueue* queue = nullptr;
    std::vector<std::string> calls;
};

class FakeFrame : public player::FrameView
{
public:
    void ShowButton(int command, bool show) override { shown[command] = show; }
    void EnableButton(int command, bool enable) override { enabled[command] = enable; }
    player::PlayerRect VideoArea() override { return {0, 0, 320, 210}; }
    void ShowAnimation(const std::string& name) override { animation = name; }
    void HideAnimation() override { animation.clear(); }
    void PostCommand(int command) override { posted.push_back(command); }
    void StartTimer(int id, int ms) override { timers[id] = ms; }
    void KillTimer(int id) override { timers.erase(id); }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void UpdateWindow() override {}

    // The toolbar as a user sees it: "+" shown and enabled, "-" shown but
    // disabled, "." hidden; in the order Play, Pause, Stop.
    std::string Transport()
    {
        std::string text;
        for (int command : {player::ID_PLAY, player::ID_PAUSE, player::ID_STOP}) {
            text += !shown[command] ? '.' : (enabled[command] ? '+' : '-');
        }
        return text;
    }

    std::map<int, bool> shown;
    std::map<int, bool> enabled;
    std::string animation;
    std::vector<int> posted;
    std::map<int, int> timers;
    std::vector<std::string> messages;
};

} // namespace playertest
