// Program start: application object, AppPath, title, main window, message loop.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/AppPath.h"
#include "app/DisplayProbe.h"
#include "app/GarnetTheme.h"
#include "app/SettingsPath.h"
#include "app/ShutdownSignals.h"
#include "app/frMain.h"
#include "interfaces/ConfigDocument.h"

namespace {

// A headless machine still bridges with its saved settings: without a display
// the window lives on Qt's offscreen platform.
void UseOffscreenWithoutDisplay() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  // A display that does not answer (a stale forwarded session) counts as none.
  if (pallador::XDisplayAnswers(std::chrono::seconds(3)) ||
      !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    return;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  std::fputs("pallador: no display found; running on the offscreen platform (no window shown)\n",
             stderr);
}

}  // namespace

int main(int argc, char* argv[]) {
  pallador::TShutdownSignals::HoldUntilInstalled();
  try {
    UseOffscreenWithoutDisplay();
    QApplication app(argc, argv);

    std::string executable = pallador::ExecutableFileName();
    if (executable.empty()) executable = QCoreApplication::applicationFilePath().toStdString();
    pallador::SetAppPath(pallador::AppPathFromExecutable(executable));
    pallador::SetSettingsPath(pallador::ChooseSettingsPath(
        pallador::AppPath(),
        pallador::SettingsPlaceFacts(pallador::AppPath(), pallador::ConfigFileBaseName)));
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
      std::fprintf(stderr, "pallador: settings file %s%s\n", pallador::SettingsPath().c_str(),
                   pallador::ConfigFileBaseName);
    }
    QApplication::setApplicationName(pallador::kApplicationTitle);

    pallador::InstallGarnetTheme(app);
    pallador::ConnectMainThreadQueue();
    pallador::TShutdownSignals stopSignals;
    if (!stopSignals.Install()) std::fputs("pallador: could not install signal handlers\n", stderr);
    QObject::connect(&stopSignals, &pallador::TShutdownSignals::Received, &app,
                     [] { pallador::CloseMainWindow(); });

    std::unique_ptr<pallador::TfrmMain> window = pallador::CreateMainWindow();
    window->show();
    const int result = QApplication::exec();
    window.reset();
    pallador::DisconnectMainThreadQueue();
    return result;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "pallador: %s\n", error.what());
  } catch (...) {
    std::fputs("pallador: unexpected error\n", stderr);
  }
  return EXIT_FAILURE;
}
