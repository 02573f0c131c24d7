// The entry: the display and clipboard choice, the single-instance check,
// then the application object, the main window and the loop. Exit code 2
// when no display the program can work on opens (one line on stderr says
// why), 1 when another copy runs in this desktop session (whose window is
// then brought forward), 0 otherwise (a main window that cannot be built
// included, after its error box).
#include "app/Application.h"
#include "app/DisplayChoice.h"
#include "app/InstanceLock.h"
#include "app/LoopLagProbe.h"
#include "app/Unit1.h"
#include "app/WaylandClipboardBackend.h"
#include "transfer/Clipbrd.h"

#include <malloc.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

namespace {

// Texts of this size and more get pages of their own, which go back to the
// system as soon as the text is freed: a copy left running all day must not
// keep the memory of yesterday's largest text.
constexpr int OwnPagesFromBytes = 1024 * 1024;

} // namespace

int main(int argc, char* argv[])
{
    mallopt(M_MMAP_THRESHOLD, OwnPagesFromBytes);

    // Before Qt starts: it would abort without a display, or pick a plugin
    // that cannot watch the clipboard.
    TDisplayProbe display;
    if (!display.Refusal().empty()) {
        std::fprintf(stderr, "%s\n", display.Refusal().c_str());
        return ExitNoDisplay;
    }

    // Checked before Qt starts, so that a second copy shows nothing of its
    // own: it asks the running copy to bring its window forward instead.
    const std::string markerName = TInstanceLock::SessionMarkerName();
    TInstanceLock marker(markerName, TInstanceLock::SessionRuntimeDir());
    if (marker.GetState() == TInstanceLock::State::HeldByAnother) {
        TInstanceLock::AskToShow(markerName, TInstanceLock::SessionRuntimeDir());
        return 1;
    }
    marker.KeepUntilExit();

    TApplication application(argc, argv);
    display.Release();
    TLoopLagProbe lagProbe;
    if (display.Clipboard() == ClipboardPath::DataControl) {
        // Should the compositor stop answering between the probe and here,
        // the toolkit's clipboard stays.
        auto backend = std::make_unique<WaylandClipboardBackend>(application.Loop());
        if (backend->Connected()) SetClipboardBackend(std::move(backend));
    }
    try {
        application.SetAppTitle(TApplication::ProgramTitle);
        application.MakeMainWindow<TForm1>();
        const TShowRequests showRequests(application.Loop(), marker.RequestFd(),
                                         [&application] { application.BringForward(); });
        application.RunLoop();
    } catch (...) {
        // Building the main window failed: the loop never runs.
        application.ShowErrorBox(std::current_exception());
    }
    // Leaving here destroys the application object: the main window is
    // hidden, then FormDestroy runs. The marker's name lasts until the
    // process is gone.
    return 0;
}
