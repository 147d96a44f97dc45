#pragma once

// The accept step of the host's servers (the control socket, the tagging
// proxy): waits for the next connection on `listenFd` until a byte arrives
// on `wakeFd`, the pipe a stop writes to.
//
// Returns the accepted socket (close-on-exec), or -1 when woken or when
// waiting itself fails (logged with `what`). Failed accepts are retried;
// when descriptors or memory run out the connection stays queued, so the
// loop waits a little instead of spinning on it.
int acceptUntilWoken(int listenFd, int wakeFd, const char* what);
