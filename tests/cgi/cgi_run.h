// Test support: runs a built CGI program as a web server would, with the
// CGI environment, the request body on its standard input and the board
// root in PATERM_ROOT, and collects what it prints. Bounded in time.
#ifndef PATERM_TESTS_CGI_CGI_RUN_H
#define PATERM_TESTS_CGI_CGI_RUN_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cgitest {

struct CgiRequest {
    std::string method = "GET";
    std::string query;
    std::string contentType;
    std::string body;
    std::optional<std::string> contentLength;  // default: the body's size, for a POST
};

struct CgiReply {
    int exitCode = -1;  // -1: killed or did not finish in time
    std::string output;
};

namespace detail {

inline std::vector<std::string> CgiEnvironment(const CgiRequest& request, const std::string& boardRoot) {
    std::vector<std::string> env = {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=" + request.method,
                                    "QUERY_STRING=" + request.query, "PATERM_ROOT=" + boardRoot};
    if (!request.contentType.empty()) env.push_back("CONTENT_TYPE=" + request.contentType);
    if (request.contentLength)
        env.push_back("CONTENT_LENGTH=" + *request.contentLength);
    else if (request.method == "POST")
        env.push_back("CONTENT_LENGTH=" + std::to_string(request.body.size()));
    // Sanitizer settings of the test run apply to the program too.
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    return env;
}

// Writes the body (test bodies fit the pipe's buffer), then drains the
// output until the program closes it or the deadline passes. False on the
// deadline.
inline bool Exchange(int toChild, int fromChild, const std::string& body, std::string* output) {
    if (!body.empty()) (void)write(toChild, body.data(), body.size());
    close(toChild);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable = {fromChild, POLLIN, 0};
        if (poll(&readable, 1, 100) < 0) return false;
        if (readable.revents == 0) continue;
        char buf[4096];
        ssize_t n = read(fromChild, buf, sizeof buf);
        if (n <= 0) return true;
        output->append(buf, static_cast<size_t>(n));
    }
    return false;
}

// Reaps the program within 10 s: *exitCode is its exit code, left at -1
// when a signal ended it. False when it is still running after 10 s.
inline bool WaitBounded(pid_t pid, int* exitCode) {
    for (int tries = 0; tries < 1000; ++tries) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (!WIFEXITED(status)) return true;
            *exitCode = WEXITSTATUS(status);
            return true;
        }
        if (done < 0) return true;  // not a child to wait for any more
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace detail

inline CgiReply RunCgi(const std::string& program, const CgiRequest& request, const std::string& boardRoot) {
    CgiReply reply;
    signal(SIGPIPE, SIG_IGN);  // a program may exit without reading its body
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return reply;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return reply;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> env = detail::CgiEnvironment(request, boardRoot);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        return reply;
    }
    const bool finished = detail::Exchange(in[1], out[0], request.body, &reply.output);
    close(out[0]);
    const bool exited = finished && detail::WaitBounded(pid, &reply.exitCode);
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        reply.exitCode = -1;
    }
    return reply;
}

}  // namespace cgitest

#endif  // PATERM_TESTS_CGI_CGI_RUN_H
