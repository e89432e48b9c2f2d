#pragma once

#include <functional>

class QObject;

// The way out of the program, shared by all of them: the "remove" event, a
// termination signal, 退出 (or Escape), the window manager closing the window
// and the end of main(). The export session registers what ending means for
// it (stop what runs, join its jobs, unmount the drive, end the event loop).
// A termination signal and main()'s end (after the window closed) call
// shutDown() here, which knows nothing of drives or copies; 退出, Escape and
// the "remove" event call the session's own shutDown() directly.

// `end` is called by shutDown() while `owner` is registered; a later
// registration takes over, and unregistering an owner that was replaced does
// nothing.
void registerShutdown(QObject *owner, std::function<void(bool quietly)> end);
void unregisterShutdown(QObject *owner);

// Ends the registered session and the event loop; with no session, only the
// loop. `quietly`: the person is gone (the window has closed), so failures
// reach the log only.
void shutDown(bool quietly = false);

// Ends the application's event loop. The request is queued on the event loop,
// so one made before QApplication::exec() runs (a "remove" event handled at
// start-up, a signal during the xset waits) ends the loop as soon as it starts.
void requestQuit();
// True once requestQuit() was called in this process.
bool quitRequested();
