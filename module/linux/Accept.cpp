#include "Accept.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ZorvaneLog.h"

int acceptUntilWoken(int listenFd, int wakeFd, const char* what) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            ZorvLog(ZORVANE_DBG_ERROR, "%s: poll failed: %s\n", what, strerror(errno));
            return -1;
        }
        if (fds[1].revents != 0) {
            return -1;
        }
        const int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            return client;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            usleep(10000);
        }
    }
}
