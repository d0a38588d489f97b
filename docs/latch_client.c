/* A client of vantrel_power_monitor's control socket (started with --energy): asks for a latch of
 * every device and prints each reply, energy counters as of that latch (see vantrel_power_monitor(8)).
 *
 *   cc -o latch_client docs/latch_client.c
 *   latch_client [COUNT]        COUNT requests on one connection (default 1), replies one after another
 *
 * Only root, and the group given by --control-group, may connect. Status: 0, or 1 with a message. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define CONTROL_SOCKET "/run/vantrel-power-monitor/control"
#define REPLY_BUFFER (1024 * 1024) /* a large board's reply is well under this */

int main(int argc, char **argv) {
    const long count = argc > 1 ? strtol(argv[1], NULL, 10) : 1;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, CONTROL_SOCKET);

    /* SOCK_SEQPACKET: one request per message, one reply per message. */
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (const struct sockaddr *)&address, sizeof address) != 0) {
        fprintf(stderr, "latch_client: %s: %s\n", CONTROL_SOCKET, strerror(errno));
        return 1;
    }
    char *reply = malloc(REPLY_BUFFER);
    if (reply == NULL) {
        fputs("latch_client: out of memory\n", stderr);
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        /* The reply's latch is taken after this request arrives; it may wait for the next allowed
         * latch (at most 100 a second, all clients together) or, right after the daemon starts, for
         * its first cycle. */
        if (send(fd, "latch\n", 6, MSG_NOSIGNAL) != 6) {
            fprintf(stderr, "latch_client: send: %s\n", strerror(errno));
            return 1;
        }
        const ssize_t n = recv(fd, reply, REPLY_BUFFER, 0);
        if (n <= 0) {
            fprintf(stderr, "latch_client: %s\n",
                    n == 0 ? "the daemon closed the connection" : strerror(errno));
            return 1;
        }
        if (strncmp(reply, "error,", 6) == 0) {
            fprintf(stderr, "latch_client: %.*s", (int)n, reply);
            return 1;
        }
        /* Lines: vantrel-energy,1 / pid / start / period_ms, then per device its "device" record
         * followed by its "latch,POSITION,LATCH_NS,SEQUENCE" record, then "channel" and "total". */
        fwrite(reply, 1, (size_t)n, stdout);
    }
    free(reply);
    close(fd);
    return 0;
}
