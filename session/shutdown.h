#pragma once

// The end of a session with a drive, shared by every way out: the "remove"
// event, a termination signal, 退出 (or Escape) and the end of the event loop.

// Stops a copy that is still writing to the drive (a busy drive cannot be
// unmounted), unmounts the drive and ends the application's event loop.
// Each caller asks its own question first, or none.
void shutDown();

// Ends the application's event loop. The request is queued on the event loop,
// so one made before QApplication::exec() runs (a "remove" event handled at
// start-up, a signal during the xset waits) ends the loop as soon as it starts.
void requestQuit();
// True once requestQuit() was called in this process.
bool quitRequested();
