#pragma once

#include "NSObject.h"

#include <functional>
#include <vector>

class NSWindow;

// The application main loop, implemented by the toolkit's backend. Registers the
// program as applicationId (a reverse-DNS name; a second launch while it runs only
// activates the running one and returns), loads the interface file (an absolute path, or
// a name looked up among the program's resources), creates and connects the objects it
// names (see NSClassRegistry), sends them awakeFromNib in the file's order, and runs the
// event loop until the application is terminated. Returns the exit status: 0, or 1 when
// the interface file cannot be loaded (unreadable, no window in it, a view too large to
// make), with one line on the standard error saying why, or the arguments are not
// understood. The objects of the interface file live until the process ends.
int NSApplicationMain(int argc, char** argv, const char* applicationId,
                      const char* interfaceFile);

// The running application. Main thread only.
class NSApplication {
public:
    static NSApplication& sharedApplication();

    // True while the main loop runs and no terminate has been asked for.
    bool isRunning() const { return mRunning; }
    // Ends the main loop; NSApplicationMain then returns. Bound to the interface file's
    // handler "terminate:" and to the application action "app.quit".
    void terminate(NSObject* sender);

    // What a second launch of the program does to the running one. Without a handler
    // every window of the interface file is brought to the front; a handler replaces
    // that and must itself show the window (a second launch never hides it).
    void setReopenHandler(std::function<void()> handler) { mReopenHandler = std::move(handler); }

    // The windows the interface file created, in its order.
    const std::vector<NSWindow*>& windows() const { return mWindows; }

    // --- The backend's side ----------------------------------------------------------

    // The program was launched again while running.
    void reopen();
    void addWindow(NSWindow* window) { mWindows.push_back(window); }
    // How the backend ends its loop; an empty function while no loop runs.
    void setTerminator(std::function<void()> terminator);

private:
    NSApplication() = default;
    bool mRunning = false;
    std::function<void()> mTerminator;
    std::function<void()> mReopenHandler;
    std::vector<NSWindow*> mWindows; // not owned
};
