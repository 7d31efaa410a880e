// The windowed program.
#include "window/qt/run_window.h"

#include <QApplication>
#include <chrono>

#include "server/server.h"
#include "window/qt/captions.h"
#include "window/qt/main_window.h"

namespace zelkord::window {

int RunWindow(int argc, char** argv, const config::InstancePaths& paths,
              const server::ServerOptions& options) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(qt::kAppTitle));
  int status = 0;
  {
    qt::MainWindow mainWindow;
    {
      server::Server server(mainWindow, paths, options);
      // The window's sweep timer asks for the sweeps; the sweeper keeps no
      // timer of its own.
      server.sweepInterval = std::chrono::milliseconds(0);
      mainWindow.AttachServer(&server);
      (void)mainWindow.StartServer();  // a failure is shown in a message box; the window stays
      mainWindow.show();
      status = QApplication::exec();
      // Final clean-up: the window has closed, so every thread has ended.
    }
    mainWindow.AttachServer(nullptr);
  }
  return status;
}

}  // namespace zelkord::window
