// The entry: the display choice, the single-instance check, then the
// application object, the main window and the loop. Exit code 2 when no X
// display can be opened (one line on stderr says why), 1 when another copy
// runs in this desktop session, 0 otherwise (a main window that cannot be
// built included, after its error box).
#include "app/Application.h"
#include "app/DisplayChoice.h"
#include "app/InstanceLock.h"
#include "app/LoopLagProbe.h"
#include "app/Unit1.h"

#include <malloc.h>

#include <cstdio>
#include <exception>

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

    // Checked before Qt starts, so that a second copy shows nothing at all.
    TInstanceLock marker(TInstanceLock::SessionMarkerName(), TInstanceLock::SessionRuntimeDir());
    if (marker.GetState() == TInstanceLock::State::HeldByAnother) return 1;
    marker.KeepUntilExit();

    TApplication application(argc, argv);
    display.Release();
    TLoopLagProbe lagProbe;
    try {
        application.SetAppTitle(TApplication::ProgramTitle);
        application.MakeMainWindow<TForm1>();
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
