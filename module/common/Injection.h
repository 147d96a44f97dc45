#pragma once

// The injection worker: a system thread that injects queued packets again,
// outside the classify call that produced them, in the order they were queued.

#include "Packet.h"

// Sets up the queue and starts the worker; 1 on success. On failure the queue
// refuses every packet until cleanup.
int ZorvaneStartInjectionWorker();
// Refuses new packets, lets the worker finish the injection in hand, frees
// what is still queued and waits for the thread.
void ZorvaneStopInjectionWorker();
// Releases the queue's locks; no SendPacket may follow (the platform has
// stopped classifying by then).
void ZorvaneInjectionCleanup();

// Queues the packet for the worker; true when queued (the worker owns it then).
// False once stopping has begun: the caller still owns the packet.
// Valid between start and cleanup.
bool SendPacket(ZorvanePacket* packet);

// Injects one packet by the layer it came from; true when the platform
// accepted it (and will free it).
bool ZorvaneInjectPacket(ZorvanePacket* packet);
