// The real program as a child process, started headless on a settings
// file in its own folder, its output kept in files beside it.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>

#include "support/test_server.h"

namespace zelkord::testing {

class Program {
 public:
  // Starts the binary ctest names in ZELKORD_BINARY (Started() is false
  // without it) with mode and "--config" config. fileSizeLimit > 0 caps the
  // size of every file the program writes, as a full disk would (writes past
  // it fail instead of raising a signal).
  explicit Program(const std::string& config, rlim_t fileSizeLimit = 0,
                   const char* mode = "--headless");
  ~Program();  // kills the program if it still runs
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  [[nodiscard]] bool Started() const { return pid_ > 0; }
  void Signal(int number) const { kill(pid_, number); }
  [[nodiscard]] std::string Stdout() const { return ReadFile(folder_ + "stdout.txt"); }
  [[nodiscard]] std::string Stderr() const { return ReadFile(folder_ + "stderr.txt"); }

  // The IRC port from the start-up message, or -1 when the program ended
  // or said nothing in time.
  [[nodiscard]] int WaitForPort(int timeoutMs = 10000);
  // The status pages' port from the start-up message so far, or -1.
  [[nodiscard]] int WebPort() const;
  // The TLS port from the start-up message so far, or -1.
  [[nodiscard]] int TlsPort() const;

  // true once the program has ended (its wait status is then in Status()).
  [[nodiscard]] bool Exited(int timeoutMs);
  [[nodiscard]] int Status() const { return status_; }
  // true when it ended by exiting with code.
  [[nodiscard]] bool ExitedWith(int code) const;

 private:
  [[nodiscard]] int PortAfter(const std::string& marker) const;

  std::string folder_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace zelkord::testing
