// The program as a child process.
#include "support/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/wait.h"

namespace zelkord::testing {
Program::Program(const std::string& config, rlim_t fileSizeLimit, const char* mode)
    : folder_(config.substr(0, config.rfind('/') + 1)) {
  const char* binary = std::getenv("ZELKORD_BINARY");
  if (binary == nullptr) return;
  const std::string out = folder_ + "stdout.txt";
  const std::string err = folder_ + "stderr.txt";
  pid_ = fork();
  if (pid_ == 0) {
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (fileSizeLimit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execl(binary, binary, mode, "--config", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

Program::~Program() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int Program::PortAfter(const std::string& marker) const {
  const std::string out = Stdout();
  const std::size_t at = out.find(marker);
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + marker.size());
}

int Program::WaitForPort(int timeoutMs) {
  int port = -1;
  (void)WaitUntil(
      [&] {
        port = PortAfter("listening for IRC on port ");
        return port > 0 || Exited(0);
      },
      std::chrono::milliseconds(timeoutMs));
  return port;
}

int Program::WebPort() const {
  return PortAfter("serving status pages on port ");
}

int Program::TlsPort() const {
  return PortAfter("listening for IRC over TLS on port ");
}

bool Program::Exited(int timeoutMs) {
  if (pid_ <= 0) return false;
  return exited_ || WaitUntil(
                        [&] {
                          exited_ = waitpid(pid_, &status_, WNOHANG) == pid_;
                          return exited_;
                        },
                        std::chrono::milliseconds(timeoutMs));
}

bool Program::ExitedWith(int code) const {
  return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
}

}  // namespace zelkord::testing
