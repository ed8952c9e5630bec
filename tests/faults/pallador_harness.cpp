// The application started as its own main does (same steps, same window and
// stop signals), with two things a fault or soak run needs that the program
// offers only through its window:
//   --reconnect-every <ms>  clicks "Connect" at that interval (0: whenever the
//                           event loop is idle), as a user would;
//   --status                prints the status texts whenever one changes, one
//                           line: "status" then the input's and the sixteen
//                           rows' texts, separated by tabs.
// At the end it prints "reconnects <n>". Runs offscreen without a display.

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/AppPath.h"
#include "app/GarnetTheme.h"
#include "app/ShutdownSignals.h"
#include "app/frMain.h"

namespace {

constexpr int kStatusColumn = 5;
constexpr int kRows = 16;

QString StatusLine(const pallador::TfrmMain& Window) {
  QString line = "status\t" + Window.lbInputStatus->text();
  for (int r = 0; r < kRows && r < Window.ckUniverses->topLevelItemCount(); ++r) {
    line += "\t" + Window.ckUniverses->topLevelItem(r)->text(kStatusColumn);
  }
  return line;
}

}  // namespace

int main(int argc, char* argv[]) {
  pallador::TShutdownSignals::HoldUntilInstalled();
  try {
    int reconnectMs = -1;
    bool status = false;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--reconnect-every" && i + 1 < argc) {
        reconnectMs = std::atoi(argv[++i]);
      } else if (arg == "--status") {
        status = true;
      } else {
        std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
        return 2;
      }
    }

    QApplication app(argc, argv);
    pallador::SetAppPath(pallador::AppPathFromExecutable(pallador::ExecutableFileName()));
    QApplication::setApplicationName(pallador::kApplicationTitle);
    pallador::InstallGarnetTheme(app);
    pallador::ConnectMainThreadQueue();
    pallador::TShutdownSignals stopSignals;
    if (!stopSignals.Install()) std::fputs("harness: could not install signal handlers\n", stderr);
    QObject::connect(&stopSignals, &pallador::TShutdownSignals::Received, &app,
                     [] { pallador::CloseMainWindow(); });

    std::unique_ptr<pallador::TfrmMain> window = pallador::CreateMainWindow();
    window->show();

    long reconnects = 0;
    QTimer reconnect;
    if (reconnectMs >= 0) {
      QObject::connect(&reconnect, &QTimer::timeout, [&] {
        window->btReconnectOutputs->click();
        ++reconnects;
      });
      reconnect.start(reconnectMs);
    }
    QString shown;
    QTimer watch;
    if (status) {
      QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString line = StatusLine(*window);
        if (line == shown) return;
        shown = line;
        std::printf("%s\n", line.toStdString().c_str());
        std::fflush(stdout);
      });
      watch.start(20);
    }

    const int result = QApplication::exec();
    reconnect.stop();
    watch.stop();
    window.reset();
    pallador::DisconnectMainThreadQueue();
    std::printf("reconnects %ld\n", reconnects);
    return result;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "harness: %s\n", error.what());
  } catch (...) {
    std::fputs("harness: unexpected error\n", stderr);
  }
  return EXIT_FAILURE;
}
