#include "daemon/control.h"

#include "common/platform_paths.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view k_latch_verb = "latch";
// Accepts per wake-up: a crowd connecting as fast as it can must not keep the loop from its deadline.
constexpr int k_accepts_per_wake = 2 * static_cast<int>(k_max_clients);

int fail(control_state &control, int error) {
    close_control_socket(control);
    return -error;
}

bool send_whole(int fd, std::string_view text) {
    // MSG_DONTWAIT: a client that does not read never blocks the daemon; MSG_NOSIGNAL: one that went
    // away never raises SIGPIPE.
    const ssize_t sent = ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent >= 0 && static_cast<std::size_t>(sent) == text.size();
}

void drop(control_client &client) {
    client.fd.reset();
    client.waiting = false;
}

void refuse(control_client &client, std::string_view reply) {
    (void)send_whole(client.fd.fd, reply);
    drop(client);
}

bool printable_text(std::string_view text) {
    for (const char c : text) {
        if ((c < 0x20 || c > 0x7e) && c != '\n') {
            return false;
        }
    }
    return true;
}

void read_request(control_client &client) {
    char buffer[k_max_request_bytes];
    // MSG_TRUNC: the message's whole length, however much of it fits.
    const ssize_t length = ::recv(client.fd.fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (length < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            drop(client);
        }
        return;
    }
    if (length == 0) {
        drop(client); // hung up (or an empty message, which is no request either)
        return;
    }
    if (static_cast<std::size_t>(length) > sizeof buffer) {
        refuse(client, "error,request longer than 64 bytes\n");
        return;
    }
    const std::string_view request(buffer, static_cast<std::size_t>(length));
    if (request == k_latch_verb ||
        (request.size() == k_latch_verb.size() + 1 &&
         request.substr(0, k_latch_verb.size()) == k_latch_verb && request.back() == '\n')) {
        client.waiting = true;
        return;
    }
    refuse(client, printable_text(request) ? "error,unknown request\n" : "error,not a text request\n");
}

void accept_clients(control_state &control) {
    for (int n = 0; n < k_accepts_per_wake; ++n) {
        unique_fd fd(::accept4(control.listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            return; // EAGAIN: none left; anything else: the next wake-up tries again
        }
        for (control_client &client : control.clients) {
            if (!client.fd.valid()) {
                client.fd = std::move(fd);
                client.waiting = false;
                break;
            }
        }
        // A client beyond the limit is closed at once (fd still holds it).
    }
}

// A group's number from the group file ("name:password:gid:members" lines), where groupadd puts the
// system's groups. Read directly: a fully static build cannot load the name service's modules.
int group_in_file(const char *name, gid_t *gid) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(platform_paths::group_file, "re"),
                                                                &std::fclose);
    if (file == nullptr) {
        return -1;
    }
    char *raw = nullptr;
    std::size_t capacity = 0;
    const std::size_t length = std::strlen(name);
    int rc = -1;
    while (::getline(&raw, &capacity, file.get()) > 0) {
        if (std::strncmp(raw, name, length) != 0 || raw[length] != ':') {
            continue;
        }
        const char *number = std::strchr(raw + length + 1, ':');
        char *end = nullptr;
        errno = 0;
        const unsigned long long value = number != nullptr ? std::strtoull(number + 1, &end, 10) : 0;
        if (number != nullptr && end != number + 1 && *end == ':' && errno == 0 &&
            value < static_cast<unsigned long long>(static_cast<gid_t>(-1))) {
            *gid = static_cast<gid_t>(value);
            rc = 0;
        }
        break;
    }
    std::free(raw);
    return rc;
}

} // namespace

control_state::~control_state() {
    close_control_socket(*this);
}

int parse_control_group(const char *text, gid_t *gid) {
    if (text == nullptr || text[0] == '\0') {
        return -1;
    }
    bool number = true;
    for (const char *p = text; *p != '\0'; ++p) {
        number = number && *p >= '0' && *p <= '9';
    }
    if (number) {
        errno = 0;
        const unsigned long long value = std::strtoull(text, nullptr, 10);
        // (gid_t)-1 means "no change" to chown: never a group.
        if (errno != 0 || value >= static_cast<unsigned long long>(static_cast<gid_t>(-1))) {
            return -1;
        }
        *gid = static_cast<gid_t>(value);
        return 0;
    }
    if (group_in_file(text, gid) == 0) {
        return 0;
    }
#ifdef VPM_NO_NAME_SERVICE
    return -1;
#else
    const struct group *entry = ::getgrnam(text);
    if (entry == nullptr) {
        return -1;
    }
    *gid = entry->gr_gid;
    return 0;
#endif
}

int open_control_socket(control_state &control, const control_access &access) {
    close_control_socket(control);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(platform_paths::control_socket);
    static_assert(sizeof address.sun_path > 40);
    std::memcpy(address.sun_path, platform_paths::control_socket, length + 1);

    unique_fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return -errno;
    }
    // The instance lock is held: a socket there is a killed daemon's.
    if (::unlink(platform_paths::control_socket) != 0 && errno != ENOENT) {
        return -errno;
    }
    const mode_t mode = access.group_given ? 0660 : 0600;
    const mode_t previous = ::umask(static_cast<mode_t>(0777 & ~mode));
    const int bound = ::bind(fd.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int bind_error = errno;
    (void)::umask(previous);
    if (bound != 0) {
        return -bind_error;
    }
    control.bound = true;
    // The directory is root's alone, so the path bound is the path changed here.
    struct stat st {};
    if (::lstat(platform_paths::control_socket, &st) != 0) {
        return fail(control, errno);
    }
    if (access.group_given && st.st_gid != access.group &&
        ::fchownat(AT_FDCWD, platform_paths::control_socket, static_cast<uid_t>(-1), access.group,
                   AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(control, errno);
    }
    if ((st.st_mode & 07777) != mode && ::fchmodat(AT_FDCWD, platform_paths::control_socket, mode, 0) != 0) {
        return fail(control, errno);
    }
    if (::listen(fd.fd, static_cast<int>(k_max_clients)) != 0) {
        return fail(control, errno);
    }
    control.listener = std::move(fd);
    return 0;
}

void close_control_socket(control_state &control) {
    for (control_client &client : control.clients) {
        drop(client);
    }
    control.listener.reset();
    if (control.bound) {
        (void)::unlink(platform_paths::control_socket);
        control.bound = false;
    }
}

std::size_t control_poll_set(control_state &control) {
    control.polls[0] = pollfd{control.listener.fd, POLLIN, 0};
    for (std::size_t i = 0; i < k_max_clients; ++i) {
        const control_client &client = control.clients[i];
        // poll skips negative descriptors: a waiting client is not read, nor its hang-up seen, until
        // its answer is sent.
        control.polls[i + 1] = pollfd{client.waiting ? -1 : client.fd.fd, POLLIN, 0};
    }
    return control.polls.size();
}

void handle_control_events(control_state &control) {
    for (std::size_t i = 0; i < k_max_clients; ++i) {
        control_client &client = control.clients[i];
        const pollfd &entry = control.polls[i + 1];
        if (!client.fd.valid() || entry.fd != client.fd.fd || entry.revents == 0) {
            continue;
        }
        if ((entry.revents & POLLIN) != 0) {
            read_request(client);
        } else {
            drop(client); // POLLHUP, POLLERR
        }
    }
    if ((control.polls[0].revents & POLLIN) != 0) {
        accept_clients(control);
    }
}

bool requests_waiting(const control_state &control) {
    for (const control_client &client : control.clients) {
        if (client.waiting) {
            return true;
        }
    }
    return false;
}

void answer_waiting(control_state &control, std::string_view reply) {
    for (control_client &client : control.clients) {
        if (!client.waiting) {
            continue;
        }
        if (send_whole(client.fd.fd, reply)) {
            client.waiting = false;
        } else {
            drop(client); // its buffer is full, or it went away
        }
    }
}
