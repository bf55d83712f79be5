// The updater's window, from the same code and resources, with a run that only
// writes its label: scripts/bench times the updater's start-up against it to
// tell what the update adds from what its window costs.
#include "FileLog.h"
#include "Update.h"

#include <windows.h>

namespace {

class NoUpdate final : public UpdateRun {
public:
    [[nodiscard]] int Run(StatusWindow& window) override {
        // As the update does: the pending messages first, the first paint among them.
        static_cast<void>(window.HandlePendingMessages());
        static_cast<void>(window.SetStatusText(L"Painted"));
        return 0;
    }
};

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // Never opened, as the updater's own log when no /log names a file: it writes nothing.
    FileLog log;
    NoUpdate run;
    Update update(run, log);
    if (!update.Create(instance, showCommand)) {
        return 1;
    }
    return update.RunMessageLoop();
}
