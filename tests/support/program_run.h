// A program of ours run in a process of its own, as a person or a script
// runs it: for what only a process shows (signals, closed streams, several
// stations at once).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/eventually.h"

extern char** environ;

// How a program is started beyond its words and environment.
struct program_setup {
  // Its reading end closed at once, as when `| head` has ended: nobody
  // reads standard error.
  bool err_closed = false;
  std::string folder;    // where it runs (empty: here)
  std::string out_path;  // where its standard output goes (empty: nowhere)
};

// A program in a process of its own, with its standard error in a pipe that
// the test reads as it goes; killed when the test is done with it.
class program_run {
 public:
  program_run(const std::string& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& settings, const program_setup& setup = {}) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // The settings replace what this process has under the same names.
    std::vector<std::string> environment(settings);
    for (char** entry = environ; *entry; ++entry) {
      const std::string inherited = *entry;
      bool replaced = false;
      for (const std::string& setting : settings)
        replaced |=
            inherited.compare(0, setting.find('=') + 1, setting, 0, setting.find('=') + 1) == 0;
      if (!replaced) environment.push_back(inherited);
    }
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1,
                                     setup.out_path.empty() ? "/dev/null" : setup.out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!setup.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, setup.folder.c_str());
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    err_fd_ = pipe_ends[0];
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    if (setup.err_closed) {
      close(err_fd_);
      err_fd_ = -1;
    }
  }

  ~program_run() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_fd_ >= 0) close(err_fd_);
  }

  bool started() const { return pid_ > 0; }
  bool running() { return pid_ > 0 && !reaped(); }
  pid_t pid() const { return pid_; }

  const std::string& err() {
    char buffer[4096];
    if (err_fd_ < 0) return err_;
    for (ssize_t got; (got = read(err_fd_, buffer, sizeof buffer)) > 0;) err_.append(buffer, got);
    return err_;
  }

  // The exit status, or -1 when it did not exit within `limit`.
  int wait_exit(std::chrono::milliseconds limit) {
    eventually(
        [&] {
          err();
          return reaped();
        },
        limit);
    err();
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  // The signal that ended it, 0 when none did.
  int end_signal() const { return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

 private:
  bool reaped() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

  pid_t pid_ = -1;
  int err_fd_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string err_;
};
