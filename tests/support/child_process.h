// A program run by a test as another user, its output collected while the test serves it: the
// test polls descriptors() beside its own and calls collect() after each wait.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zrq::testing {

// Who the program runs as; the groups are the user's own (primary and listed) or `groups`.
struct RunAs {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

class ChildProcess {
public:
    // Starts `argv` (argv[0] a path) as `as`, or as the test's own user.
    ChildProcess(const std::vector<std::string>& argv, const std::optional<RunAs>& as) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            if (as && (::setgroups(as->groups.size(), as->groups.data()) != 0 ||
                       ::setresgid(as->gid, as->gid, as->gid) != 0 ||
                       ::setresuid(as->uid, as->uid, as->uid) != 0)) {
                ::_exit(126);
            }
            std::vector<char*> args;
            for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~ChildProcess() {
        if (!ended()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::vector<int> descriptors() const {
        std::vector<int> open;
        if (out_ >= 0) open.push_back(out_);
        if (err_ >= 0) open.push_back(err_);
        return open;
    }
    // Reads what the program wrote and notes whether it has ended.
    void collect() {
        drain(out_, out);
        drain(err_, err);
        int waitStatus = 0;
        if (!ended() && ::waitpid(pid_, &waitStatus, WNOHANG) == pid_) {
            status_ = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
        }
    }
    // Ended, and everything it wrote has been read.
    bool done() const { return ended() && out_ < 0 && err_ < 0; }
    bool ended() const { return status_.has_value(); }
    int status() const { return status_.value_or(-1); }
    void signal(int number) { ::kill(pid_, number); }

    std::string out;
    std::string err;

private:
    static void drain(int& fd, std::string& into) {
        if (fd < 0) return;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, n);
        if (n == 0) {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::optional<int> status_;
};

}  // namespace zrq::testing
