#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends.
struct TempDir {
  std::filesystem::path path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

struct ProgramResult {
  int status = -1;      // exit status, or 128 + signal
  std::string output;   // standard output
  std::string errors;   // standard error (the program must never use it)
};

struct RunOptions {
  long long file_size_limit = -1;  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
  int open_files_limit = -1;       // RLIMIT_NOFILE
  bool unprivileged = false;       // when run as root, run the command as "nobody" so permissions apply
  bool one_page_output = false;    // standard output into a pipe of one page (see WaitForFullOutput)
  long long address_space_limit = -1;  // RLIMIT_AS in bytes (ulimit -v)
  // Opens of unnamed files (O_TMPFILE) fail, as on a file system without
  // them: the program is run with the tests' preloaded library.
  bool no_unnamed_files = false;
  bool output_full = false;    // standard output is /dev/full
  bool output_closed = false;  // standard output is closed
  bool input_closed = false;   // standard input is closed
  bool errors_closed = false;  // standard error is closed
};

// A command started in the background.
struct StartedCommand {
  int pid = -1;
  int out_fd = -1;
  int err_fd = -1;
};

// Starts a command in dir with stdin from /dev/null and both outputs going
// into pipes; FinishCommand collects them and the exit status.
StartedCommand StartCommand(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                            const RunOptions& options = {});
ProgramResult FinishCommand(StartedCommand& command);

// Waits until the command stands in the system call `number` (with that
// first argument, when one is given): a run waiting for the work file, for
// instance. False when it did not within some seconds.
bool WaitUntilInSystemCall(const StartedCommand& command, long number, const std::string& first_argument = "");

// With one_page_output: waits (without reading) until the command has filled
// its output pipe and so stands blocked at a write of its standard output.
bool WaitForFullOutput(const StartedCommand& command);

// Runs a command in dir with stdin from /dev/null and both outputs captured.
ProgramResult RunCommand(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                         const RunOptions& options = {});

// The built wavsplice with the given arguments.
std::vector<std::string> WavspliceCommand(const std::vector<std::string>& args = {});

// Runs the built wavsplice in dir with the given arguments.
ProgramResult RunWavsplice(const std::filesystem::path& dir, const std::vector<std::string>& args = {},
                           const RunOptions& options = {});

// Whether sox and soxi are on PATH (the tests that use them as an
// independent oracle skip, saying so, without them).
bool HaveSox();

// Whether a command is on PATH.
bool HaveCommand(const std::string& name);

// The names of the files in dir, sorted.
std::vector<std::string> FilesIn(const std::filesystem::path& dir);
