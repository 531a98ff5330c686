#pragma once
// The file stream control: plays the local file named by "Filename". The
// graph decodes the file itself, unless the file's extension has a source
// filter registered for it (a ".qsl" stream description goes to the
// multicast source). The end of the file is seen by Periodic, which reads
// the graph's events without waiting:
//   Repeat on:  posts 65, then 1, state 1 (the host restarts the file);
//   Repeat off: posts 3, the state stays 2 until the host calls Stop.
//
//   Play (0)      posts 49, builds and runs the graph, posts 1      → 2
//   Play (1)      runs the graph again, posts 1                     → 2
//   Pause (2)     pauses the graph, posts 2                         → 1
//   Stop (not 0)  tears the graph down, posts 3                     → 0
// A file that cannot be played posts 49 and then 3 (state 0).

#include "playback/qvplaybackexport.h"
#include "playback/qvstreamctl.h"

#include "platform/com/unknown.h"

class QV_PLAYBACK_API QvIFileAMovStreamControl : public QvIStreamControl
{
public:
    // Longest file name taken, in bytes (longer ones cannot be played).
    static constexpr std::size_t kMaxPath = 259;

    QvIFileAMovStreamControl() = default;
    // Tears the graph down.
    ~QvIFileAMovStreamControl() override;

    int Stop() override;
    // Seconds from the start of the file (SetPosition likewise).
    double GetPosition() override;
    double GetLength() override;
    // The graph's next event, without waiting (see above).
    void Periodic() override;

    int OnStreamReady() override;

protected:
    void PlayPreInit() override;
    void PlayInit();
    void PlayContinue() override;
    bool RenderGraph(qvplat::MediaGraph& graph) override;
    void OnDataEnded() override;
};
