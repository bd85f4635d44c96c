// The one way the tests launch the digitmill executable: a private tree
// (base/cwd the run's current directory, base/tmp its TMPDIR), and a run in
// it with the standard streams, environment, limits and signal dispositions
// a test asks for. Standard output and error go to files in base/ unless
// the test says otherwise; the run gets a process group of its own, as a
// shell gives a job, so that a signal "from the terminal" reaches it and
// whatever it started.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/text_files.hpp"

namespace testsupport {

// A private tree under the system's temporary directory: base/cwd and
// base/tmp. Mounts made on it are undone before it is removed.
class Sandbox {
 public:
  explicit Sandbox(const std::string& tag = "dm-run") {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / (tag + "-XXXXXX")).string();
    base_ = ::mkdtemp(pattern.data());
    cwd_ = base_ / "cwd";
    tmp_ = base_ / "tmp";
    fs::create_directory(cwd_);
    fs::create_directory(tmp_);
  }
  ~Sandbox() {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
      if (::umount2(it->c_str(), 0) != 0) ::umount2(it->c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::permissions(cwd_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(base_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // A file system of type `type` ("tmpfs", "ramfs") on dir; options such as
  // "size=64k".
  void mount(const std::filesystem::path& dir, const char* type, const std::string& options = "") {
    ASSERT_EQ(::mount(type, dir.c_str(), type, 0, options.empty() ? nullptr : options.c_str()), 0)
        << type << ": " << std::strerror(errno);
    mounts_.push_back(dir);
  }
  void tmpfs(const std::filesystem::path& dir, const std::string& size) {
    mount(dir, "tmpfs", "size=" + size);
  }
  // dir bound onto itself read-only: even root cannot create files in it.
  void read_only(const std::filesystem::path& dir) {
    ASSERT_EQ(::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    mounts_.push_back(dir);
    ASSERT_EQ(::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
  }

  const std::filesystem::path& base() const {
    return base_;
  }
  const std::filesystem::path& cwd() const {
    return cwd_;
  }
  const std::filesystem::path& tmp() const {
    return tmp_;
  }

 private:
  std::filesystem::path base_, cwd_, tmp_;
  std::vector<std::filesystem::path> mounts_;
};

// Where standard output goes: a file, nowhere, a pipe whose reader has
// gone, or a pipe the test reads (output_pipe).
enum class Stdout { file, closed, pipe_without_reader, pipe };

// What a run gets. By default: no argument, standard input /dev/null,
// standard output and error to files, TMPDIR the sandbox's tmp/, every
// signal with its default action, no core dumps.
struct Launch {
  std::vector<std::string> args;
  std::optional<std::string> input;  // written to a pipe that is then closed
  bool input_held_open = false;      // the pipe stays open (the run waits at the prompt)
  bool input_closed = false;         // descriptor 0 closed altogether
  std::string input_path;            // or this file (or directory) as standard input
  Stdout out = Stdout::file;
  std::string stdout_path;                                // where Stdout::file goes; default a file in base/
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  std::string work_variable = "TMPDIR";                   // gets tmp/ unless env sets it
  std::vector<int> ignored;                               // signals the parent hands on ignored
  std::vector<std::pair<int, rlimit>> limits;             // resource, soft and hard limit
  int gate[2] = {-1, -1};  // a pipe: the run starts once its writing end is closed
  uid_t uid = 0;           // run as this user and its own group (needs root); 0: as we are
  bool hide_proc = false;  // an empty /proc in a mount namespace of its own (needs root)
};

inline Launch with_args(std::vector<std::string> args) {
  Launch launch;
  launch.args = std::move(args);
  return launch;
}

// One run of the executable in a sandbox.
class Digitmill {
 public:
  Digitmill(const Sandbox& box, Launch launch) : box_(box) {
    static int serial = 0;
    const std::string tag = std::to_string(++serial);
    out_path_ = launch.stdout_path.empty() ? box.base() / ("stdout-" + tag)
                                           : std::filesystem::path(launch.stdout_path);
    err_path_ = box.base() / ("stderr-" + tag);
    if (!launch.env.count(launch.work_variable)) launch.env[launch.work_variable] = box.tmp().string();

    int in[2] = {-1, -1};
    const bool piped_input = !launch.input_closed && launch.input_path.empty() &&
                             (launch.input.has_value() || launch.input_held_open);
    if (piped_input && ::pipe2(in, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    int broken[2] = {-1, -1};
    if (launch.out == Stdout::pipe_without_reader || launch.out == Stdout::pipe) {
      if (::pipe(broken) != 0) ADD_FAILURE() << "pipe";
      if (launch.out == Stdout::pipe) {
        output_ = broken[0];
      } else {
        ::close(broken[0]);
      }
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (output_ >= 0) ::close(output_);
      start(box, launch, in[0], broken[1]);
    }
    ::setpgid(pid_, pid_);
    if (broken[1] >= 0) ::close(broken[1]);
    if (piped_input) {
      input_ = in[0];  // kept: a later reader of the same pipe
      if (launch.input && ::write(in[1], launch.input->data(), launch.input->size()) < 0) ADD_FAILURE();
      if (launch.input_held_open) {
        held_ = in[1];
      } else {
        ::close(in[1]);
      }
    }
  }

  ~Digitmill() {
    if (pid_ > 0) ::kill(-pid_, SIGKILL);  // and whatever it started
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_, held_, output_})
      if (fd >= 0) ::close(fd);
  }
  Digitmill(const Digitmill&) = delete;
  Digitmill& operator=(const Digitmill&) = delete;

  // The wait status; a run that takes longer than the limit is killed.
  int wait(std::chrono::seconds limit = std::chrono::seconds(300)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!exited()) {
      if (std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "run did not end within " << limit.count() << " s";
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status_;
  }
  bool exited() {
    return status_ >= 0 || ::waitpid(pid_, &status_, WNOHANG) == pid_;
  }
  // Exit status, or 128 + signal number as a shell shows it.
  int shell_status() {
    int status = wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Waits until standard output holds text; false if the run ended first
  // or the time ran out.
  bool wait_for_output(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      if (out().find(text) != std::string::npos) return true;
      if (exited()) return out().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  // Stops the run; true if it is now stopped, false if it had ended.
  bool pause() {
    ::kill(pid_, SIGSTOP);
    int status = 0;
    if (::waitpid(pid_, &status, WUNTRACED) != pid_) return false;
    if (WIFSTOPPED(status)) return true;
    status_ = status;
    return false;
  }
  void resume() {
    ::kill(pid_, SIGCONT);
  }
  void signal(int sig) {
    ::kill(pid_, sig);
  }
  // As from the terminal: the run and the commands it has started in its
  // group.
  void signal_group(int sig) {
    ::kill(-pid_, sig);
  }

  // The run's descriptors whose files lie in dir, with the paths /proc
  // shows for them; empty once the run has ended.
  std::map<int, std::string> files_open_in(const std::filesystem::path& dir) const {
    std::map<int, std::string> files;
    std::error_code error;
    const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
      std::string target = std::filesystem::read_symlink(entry.path(), error).string();
      if (!error && target.rfind(dir.string() + "/", 0) == 0)
        files[std::stoi(entry.path().filename().string())] = target;
    }
    return files;
  }
  // The paths of files_open_in(tmp) once `count` are open; empty if the
  // run ends first.
  std::vector<std::string> wait_for_work_files(std::size_t count = 8) {
    for (;;) {
      std::map<int, std::string> files = files_open_in(box_.tmp());
      if (files.size() >= count) {
        std::vector<std::string> paths;
        for (const auto& [fd, path] : files) paths.push_back(path);
        return paths;
      }
      if (exited()) return {};
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::string out() const {
    return slurp(out_path_);
  }
  std::string err() const {
    return slurp(err_path_);
  }
  // What is left in the standard input pipe after the run.
  std::string unread_input() {
    std::string rest;
    char chunk[256];
    for (ssize_t got; (got = ::read(input_, chunk, sizeof chunk)) > 0;)
      rest.append(chunk, static_cast<std::size_t>(got));
    return rest;
  }
  pid_t pid() const {
    return pid_;
  }
  // The reading end of standard output with Stdout::pipe; close_output()
  // closes it, as a reader that has seen enough.
  int output_pipe() const {
    return output_;
  }
  void close_output() {
    ::close(output_);
    output_ = -1;
  }

 private:
  // In the child: never returns.
  [[noreturn]] void start(const Sandbox& box, const Launch& launch, int in, int broken) {
    ::setpgid(0, 0);
    if (launch.gate[0] >= 0) {
      ::close(launch.gate[1]);
      char byte;
      while (::read(launch.gate[0], &byte, 1) < 0 && errno == EINTR) {
      }
      ::close(launch.gate[0]);
    }
    if (::chdir(box.cwd().c_str()) != 0) ::_exit(127);
    for (const auto& [name, value] : launch.env)
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    rlimit no_core = {0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    for (const auto& [resource, limit] : launch.limits) ::setrlimit(resource, &limit);
    // Whatever the test runner was handed, the run gets the defaults, but
    // for what the test ignores on purpose.
    for (int sig = 1; sig < NSIG; ++sig)
      if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    for (int sig : launch.ignored) ::signal(sig, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    int in_fd = in;
    if (launch.input_closed) {
      ::close(STDIN_FILENO);
    } else {
      if (in_fd < 0)
        in_fd = ::open(launch.input_path.empty() ? "/dev/null" : launch.input_path.c_str(), O_RDONLY);
      ::dup2(in_fd, STDIN_FILENO);
    }
    int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, STDERR_FILENO);
    switch (launch.out) {
      case Stdout::file: {
        int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        break;
      }
      case Stdout::closed:
        ::close(STDOUT_FILENO);
        break;
      case Stdout::pipe_without_reader:
      case Stdout::pipe:
        ::dup2(broken, STDOUT_FILENO);
        break;
    }
    if (launch.hide_proc) {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("tmpfs", "/proc", "tmpfs", 0, "size=4k") != 0)
        ::_exit(126);
    }
    if (launch.uid != 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(launch.uid) != 0 || ::setuid(launch.uid) != 0))
      ::_exit(126);
    std::vector<std::string> args = launch.args;
    std::vector<char*> argv = {const_cast<char*>(DIGITMILL_EXE)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(DIGITMILL_EXE, argv.data());
    ::_exit(127);
  }

  const Sandbox& box_;
  std::filesystem::path out_path_, err_path_;
  pid_t pid_ = -1;
  int status_ = -1;
  int input_ = -1, held_ = -1, output_ = -1;
};

// The names in dir, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// "exit status 2", "killed by INT", for messages.
inline std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + ::sigabbrev_np(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

}  // namespace testsupport
