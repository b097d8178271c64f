#include "support/run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wavsplice-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Restore write permission that a test may have taken away, then remove.
  std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path, ignored);
}

namespace {

void Drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        fds[i].fd = -1;
        --open_count;
      } else {
        (i == 0 ? out : err).append(buffer, static_cast<size_t>(got));
      }
    }
  }
}

}  // namespace

StartedCommand StartCommand(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                            const RunOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.one_page_output) fcntl(out_pipe[1], F_SETPIPE_SZ, 4096);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.open_files_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(options.open_files_limit), static_cast<rlim_t>(options.open_files_limit)};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.address_space_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(options.address_space_limit), static_cast<rlim_t>(options.address_space_limit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (options.no_unnamed_files) {
      setenv("LD_PRELOAD", WAVSPLICE_NO_UNNAMED_FILES, 1);
      // A sanitizer's runtime wants to be loaded first; the library needs none.
      const char* asan = getenv("ASAN_OPTIONS");
      const std::string more =
          std::string(asan != nullptr && *asan != '\0' ? asan + std::string(":") : "") + "verify_asan_link_order=0";
      setenv("ASAN_OPTIONS", more.c_str(), 1);
    }
    if (options.output_full) {
      const int full = open("/dev/full", O_WRONLY);
      dup2(full, 1);
      close(full);
    }
    if (options.output_closed) close(1);
    if (options.input_closed) close(0);
    if (options.errors_closed) close(2);
    if (options.unprivileged && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  return StartedCommand{child, out_pipe[0], err_pipe[0]};
}

ProgramResult FinishCommand(StartedCommand& command) {
  ProgramResult result;
  Drain(command.out_fd, command.err_fd, result.output, result.errors);
  close(command.out_fd);
  close(command.err_fd);
  int status = 0;
  waitpid(command.pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  command = StartedCommand{};
  return result;
}

bool WaitUntilInSystemCall(const StartedCommand& command, long number, const std::string& first_argument) {
  // As the kernel reports it: the call's number, then its arguments in hex.
  const std::string syscall = "/proc/" + std::to_string(command.pid) + "/syscall";
  for (int i = 0; i < 2000; ++i) {
    std::ifstream in(syscall);
    std::string current;
    std::string argument;
    in >> current >> argument;
    if (current == std::to_string(number) && (first_argument.empty() || argument == first_argument)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool WaitForFullOutput(const StartedCommand& command) { return WaitUntilInSystemCall(command, SYS_write, "0x1"); }

ProgramResult RunCommand(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                         const RunOptions& options) {
  StartedCommand command = StartCommand(dir, argv, options);
  return FinishCommand(command);
}

std::vector<std::string> WavspliceCommand(const std::vector<std::string>& args) {
  std::vector<std::string> argv{WAVSPLICE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

ProgramResult RunWavsplice(const std::filesystem::path& dir, const std::vector<std::string>& args,
                           const RunOptions& options) {
  return RunCommand(dir, WavspliceCommand(args), options);
}

bool HaveSox() {
  return std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") == 0;
}

bool HaveCommand(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> FilesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
