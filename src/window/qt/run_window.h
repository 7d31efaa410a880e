// The program with its window: the Qt application, the main window as the
// server's desk, start-up when the window is created, and the final
// clean-up once the window has closed.
#pragma once

#include "config/settings.h"
#include "server/server.h"

namespace zelkord::window {

// Runs the server with its main window until the window closes (after the
// server has shut down and every connection thread has ended). The process
// exit status. Main thread, once.
int RunWindow(int argc, char** argv, const config::InstancePaths& paths,
              const server::ServerOptions& options);

}  // namespace zelkord::window
