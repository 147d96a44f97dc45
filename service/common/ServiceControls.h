#pragma once

class Service;

// The service manager's pause and continue, the same on every platform: they
// hold the check loop between two passes and let it go again. The thread is
// never suspended, so it cannot stop while it holds the logger's, the
// sign-in's or the heap's lock; the reader threads go on serving.
namespace ServiceControls {

// The service thread's Service, just before its run() starts; a pause that
// came before it existed takes effect now.
void serviceReady(Service* service);

// Pauses (true) or continues the check loop; false when it already was so.
bool setPaused(bool pause);

}  // namespace ServiceControls
