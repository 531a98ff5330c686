// The player's GIF decoding and animation ticks.
//
// One 640x480 animation of 50 whole images (ffmpeg's testsrc2, made at start
// in a private directory) is decoded by CGifImage and, in the same run, by
// giflib's DGifSlurp from the same bytes in memory. The tick benchmark is
// what the animation timer costs per image: the decoded image expanded into
// a bitmap and drawn into a shown 640x480 window, on $DISPLAY or on a
// private Xvfb server when there is none.
#include "platform/testsupport/command.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/tempfiles.h"
#include "player/gif/gifbitmap.h"
#include "player/gif/gifimage.h"
#include "player/gif/tests/giflib_memory.h"

#include <benchmark/benchmark.h>

#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/frame.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes g_file;
wxFrame* g_window = nullptr;

Bytes MakeAnimation()
{
    const qvtest::TempDir temp("gifbench");
    if (!temp.Valid()) {
        return {};
    }
    const std::filesystem::path file = temp.Path() / "testsrc2.gif";
    const qvtest::CommandResult made = qvtest::RunCommand(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
         "testsrc2=s=640x480:r=25", "-frames:v", "50", "-gifflags", "-offsetting-transdiff",
         "-y", file.string()});
    std::ifstream in(file, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!made.Succeeded()) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", made.output.c_str());
        return {};
    }
    return bytes;
}

void BM_DecodeCGifImage(benchmark::State& state)
{
    CGifImage gif;
    for (auto _ : state) {
        if (!gif.LoadData(g_file.data(), g_file.size())) {
            state.SkipWithError("CGifImage failed");
            break;
        }
        benchmark::DoNotOptimize(gif.GetPixels(49).data());
    }
    state.counters["images"] = static_cast<double>(gif.GetFrameCount());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_file.size()));
}
BENCHMARK(BM_DecodeCGifImage)->Unit(benchmark::kMillisecond);

void BM_DecodeDGifSlurp(benchmark::State& state)
{
    int images = 0;
    for (auto _ : state) {
        giftest::GiflibSource source{&g_file};
        int error = 0;
        GifFileType* gif = giftest::OpenWithGiflib(source, error);
        if (gif == nullptr || DGifSlurp(gif) != GIF_OK) {
            state.SkipWithError("DGifSlurp failed");
            break;
        }
        images = gif->ImageCount;
        benchmark::DoNotOptimize(gif->SavedImages[images - 1].RasterBits);
        DGifCloseFile(gif, &error);
    }
    state.counters["images"] = images;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_file.size()));
}
BENCHMARK(BM_DecodeDGifSlurp)->Unit(benchmark::kMillisecond);

// The first half of a tick: image to bitmap.
void BM_FrameToBitmap(benchmark::State& state)
{
    if (g_window == nullptr) {
        state.SkipWithError("no X display");
        return;
    }
    CGifImage gif;
    gif.LoadData(g_file.data(), g_file.size());
    std::size_t frame = 0;
    for (auto _ : state) {
        const wxBitmap bitmap = GifFrameBitmap(gif, frame, *wxBLACK);
        benchmark::DoNotOptimize(bitmap.IsOk());
        frame = (frame + 1) % gif.GetFrameCount();
    }
}
BENCHMARK(BM_FrameToBitmap)->Unit(benchmark::kMicrosecond);

// One animation tick: image to bitmap, drawn into the window, sent to the
// X server.
void BM_TimerTick(benchmark::State& state)
{
    if (g_window == nullptr) {
        state.SkipWithError("no X display");
        return;
    }
    CGifImage gif;
    if (!gif.LoadData(g_file.data(), g_file.size())) {
        state.SkipWithError("CGifImage failed");
        return;
    }
    std::size_t frame = 0;
    for (auto _ : state) {
        GifImageInfo info;
        gif.GetImageInfo(frame, info);
        const wxBitmap bitmap = GifFrameBitmap(gif, frame, *wxBLACK);
        {
            wxClientDC dc(g_window);
            dc.DrawBitmap(bitmap, info.left, info.top);
        }
        g_window->Update();
        frame = (frame + 1) % gif.GetFrameCount();
    }
}
BENCHMARK(BM_TimerTick)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    g_file = MakeAnimation();
    if (g_file.empty()) {
        std::fprintf(stderr, "gif_bench: could not make the animation (is ffmpeg installed?)\n");
        return 1;
    }
    std::printf("animation: 640x480, 50 images, %zu bytes\n", g_file.size());

    std::unique_ptr<qvtest::XvfbServer> server;
    if (std::getenv("DISPLAY") == nullptr) {
        server = std::make_unique<qvtest::XvfbServer>();
        if (!server->Display().empty()) {
            setenv("DISPLAY", server->Display().c_str(), 1);
        }
    }
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    wxApp::SetInstance(new wxApp);
    int wxArgc = 1;
    char* wxArgv[] = {argv[0], nullptr};
    if (wxEntryStart(wxArgc, wxArgv) && wxTheApp->CallOnInit()) {
        g_window = new wxFrame(nullptr, wxID_ANY, "gif_bench");
        g_window->SetClientSize(640, 480);
        g_window->Show();
        while (wxTheApp->Pending()) {
            wxTheApp->Dispatch();
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    if (g_window != nullptr) {
        g_window->Destroy();
        wxEntryCleanup();
    }
    benchmark::Shutdown();
    return 0;
}
