// A listener's owner that a test waits on: each signal sets an auto-reset
// event, so every Wait takes one signal.
#pragma once

#include "capture/channel/qvcommchannel.h"
#include "platform/sync.h"

namespace qvtest {

struct SignalWaiter : QvCommMgrListener::Owner
{
    void OnSignal() override { signalled.Set(); }
    bool Wait() { return signalled.Wait(120000) == qvplat::WaitResult::Signalled; }

    qvplat::Event signalled;
};

} // namespace qvtest
