// Test program (Linux, as root): makes the race of a cleanup test deterministic. It watches a
// directory with fanotify and holds the first open of one of its entries, the extraction
// directory, that comes after a gate file exists. While that open waits, it runs a command (the
// swap, typically as another user), and only then lets the open go on. Every other open is let
// through at once, also while the command runs, so the command itself can never be held up.
//
//   swap_on_open DIRECTORY NAME GATE TIMEOUT_SECONDS COMMAND [ARG...]
//
// Prints "watching" once the watch is in place, then "held: an open of NAME" and "swap command
// exited with N". Exits 0 when the command ran (whatever it returned), 1 when no such open came
// within the timeout, 2 on a usage or system error.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

struct Watch {
    std::string directory;
    std::string name;
    std::string gate;
    char** command = nullptr;
};

void allow(int fanotify, int fd) {
    const fanotify_response response{fd, FAN_ALLOW};
    if (write(fanotify, &response, sizeof(response)) != sizeof(response))
        std::perror("swap_on_open: answering an open");
}

// The open to hold: the extraction directory itself, once the gate exists.
bool is_target(const Watch& watch, int fd) {
    struct stat opened {};
    struct stat named {};
    return access(watch.gate.c_str(), F_OK) == 0 && fstat(fd, &opened) == 0 &&
           S_ISDIR(opened.st_mode) &&
           lstat((watch.directory + "/" + watch.name).c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

pid_t start_command(const Watch& watch) {
    pid_t pid = -1;
    if (posix_spawnp(&pid, watch.command[0], nullptr, nullptr, watch.command, environ) != 0) {
        std::perror("swap_on_open: starting the command");
        return -1;
    }
    return pid;
}

// Answers the events waiting on the descriptor; the first target event is kept in `held` and
// starts the command.
bool handle_events(int fanotify, const Watch& watch, int& held, pid_t& command) {
    alignas(fanotify_event_metadata) char buffer[4096];
    const ssize_t length = read(fanotify, buffer, sizeof(buffer));
    if (length <= 0)
        return true;
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        if (event->fd < 0)
            continue;
        if (held < 0 && is_target(watch, event->fd)) {
            held = event->fd;
            std::printf("held: an open of %s\n", watch.name.c_str());
            std::fflush(stdout);
            command = start_command(watch);
            if (command < 0)
                return false;
            continue;
        }
        allow(fanotify, event->fd);
        close(event->fd);
    }
    return true;
}

int run(int fanotify, const Watch& watch, int timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int held = -1;
    pid_t command = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd poll_fd{fanotify, POLLIN, 0};
        if (poll(&poll_fd, 1, 50) > 0 && !handle_events(fanotify, watch, held, command))
            return 2;
        int status = 0;
        if (command > 0 && waitpid(command, &status, WNOHANG) == command) {
            allow(fanotify, held);
            close(held);
            std::printf("swap command exited with %d\n",
                        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            return 0;
        }
    }
    std::printf("swap_on_open: no open of %s within %d s\n", watch.name.c_str(), timeout_seconds);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: swap_on_open DIRECTORY NAME GATE TIMEOUT_SECONDS COMMAND [ARG...]\n");
        return 2;
    }
    const Watch watch{argv[1], argv[2], argv[3], argv + 5};
    const int fanotify = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK,
                                       O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fanotify < 0 ||
        fanotify_mark(fanotify, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR | FAN_EVENT_ON_CHILD,
                      AT_FDCWD, watch.directory.c_str()) != 0) {
        std::perror("swap_on_open: watching the directory (fanotify needs root)");
        return 2;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    // Closing the descriptor at exit lets any open still held go on.
    return run(fanotify, watch, std::atoi(argv[4]));
}
