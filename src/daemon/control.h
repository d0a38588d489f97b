// The control socket (--energy): clients ask for a latch of every device now and get every counter as
// of that latch. A SOCK_SEQPACKET Unix socket beside the instance lock keeps each request and reply
// one message, and shows a request longer than allowed (MSG_TRUNC) without reading it whole.
//
// Clients are hostile input: at most k_max_clients at once (one more is closed at once), a request is
// the text "latch" (optionally with one "\n") in at most k_max_request_bytes, anything else gets
// "error,TEXT\n" and the connection is closed; replies are sent without blocking, and a client whose
// reply does not fit is dropped. A connected client costs nothing until it sends.
#pragma once

#include "common/unique_fd.h"

#include <poll.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t k_max_clients = 16;
inline constexpr std::size_t k_max_request_bytes = 64;
// Latches on request are at least this far apart, all clients together: fast unprivileged energy
// readings are a side channel on what other processes compute.
inline constexpr std::int64_t k_requested_latch_spacing_ns = 10000000;

struct control_client {
    unique_fd fd;
    bool waiting = false; // asked for a latch that has not been taken yet
};

struct control_state {
    unique_fd listener;
    bool bound = false; // the socket's path is ours to remove
    std::array<control_client, k_max_clients> clients;
    // The wait's descriptors: the listener, then one per client slot (-1 when unused or waiting).
    std::array<pollfd, 1 + k_max_clients> polls{};
    std::string reply; // built once per latch, sent to every waiting client; keeps its capacity
    bool latched_on_request = false;
    std::int64_t last_requested_latch_ns = 0;

    control_state() = default;
    control_state(const control_state &) = delete;
    control_state &operator=(const control_state &) = delete;
    ~control_state();
};

// Who may connect: root only (mode 0600), or also one group (mode 0660).
struct control_access {
    bool group_given = false;
    gid_t group = 0;
};

// A group by number, or by name: the group file first, then (except in a fully static build) the name
// service. -1 when there is no such group.
[[nodiscard]] int parse_control_group(const char *text, gid_t *gid);

// Binds and listens on the socket's fixed path, replacing whatever a previous daemon left there (the
// caller holds the instance lock, so nothing else may be using it). The mode comes from the umask at
// bind time, so the path is never more open than asked; the group from a set-group-ID directory, else
// it is set on the bound path. 0, or -errno with nothing left behind.
[[nodiscard]] int open_control_socket(control_state &control, const control_access &access);
// Closes every connection and removes the socket's path.
void close_control_socket(control_state &control);

// Fills control.polls for the wait: the listener, and every client that may send (a waiting client
// is not read again until answered). Returns how many entries to poll.
[[nodiscard]] std::size_t control_poll_set(control_state &control);
// After the wait saw events: accepts new clients, reads requests, answers bad ones and drops clients
// that hung up.
void handle_control_events(control_state &control);
[[nodiscard]] bool requests_waiting(const control_state &control);
// Sends `reply` to every waiting client; a client it does not reach at once is dropped.
void answer_waiting(control_state &control, std::string_view reply);
