// The main window under load, for the responsiveness figure: the program's own
// window and frame (settings from --dir, the pool, the slots, the transmit
// clock) on the offscreen platform, with a probe on the status timer. The
// driver runs it in the bridge namespace and floods its input; at --reconnect-at
// seconds it clicks "Connect" and times the reconnect, and at --seconds it
// closes the window. Prints {"ready": true} once the window is up, then one
// JSON line with the status refresh times and the reconnect's result.

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/AppPath.h"
#include "app/GarnetTheme.h"
#include "app/frMain.h"
#include "bench/perf/PerfSupport.h"

namespace pallador::perf {
namespace {

constexpr int kStatusColumn = 5;

double MsSince(std::int64_t Start) {
  return static_cast<double>(MonotonicNs() - Start) / 1e6;
}

std::string Quoted(const QString& Text) {
  std::string out = "\"";
  for (const char c : Text.toStdString()) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

int Main(int Argc, char** Argv) {
  const TArgs args(Argc, Argv, 1);
  const std::string dir = args.Required("dir");
  const double seconds = std::clamp(args.Number("seconds", 8), 1.0, 120.0);
  const double reconnectAt = std::clamp(args.Number("reconnect-at", seconds / 2), 0.0, seconds);

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(Argc, Argv);
  SetAppPath(dir.back() == '/' ? dir : dir + "/");
  QApplication::setApplicationName(kApplicationTitle);
  InstallGarnetTheme(app);
  ConnectMainThreadQueue();

  std::unique_ptr<TfrmMain> window = CreateMainWindow();
  window->show();
  const std::int64_t start = MonotonicNs();
  std::vector<double> refreshes;
  QObject::connect(window->tmrStatus, &QTimer::timeout, &app,
                   [&] { refreshes.push_back(MsSince(start)); });

  double reconnectAtMs = -1;
  double reconnectMs = -1;
  std::string inputStatus;
  int openOutputs = 0;
  std::ostringstream outputStatus;
  QTimer::singleShot(static_cast<int>(reconnectAt * 1000), &app, [&] {
    const std::int64_t t = MonotonicNs();
    reconnectAtMs = MsSince(start);
    window->btReconnectOutputs->click();
    reconnectMs = static_cast<double>(MonotonicNs() - t) / 1e6;
    inputStatus = Quoted(window->lbInputStatus->text());
    outputStatus << "[";
    for (int r = 0; r < window->ckUniverses->topLevelItemCount(); ++r) {
      const QString text = window->ckUniverses->topLevelItem(r)->text(kStatusColumn);
      if (text.isEmpty()) ++openOutputs;
      outputStatus << (r > 0 ? ", " : "") << Quoted(text);
    }
    outputStatus << "]";
  });
  QTimer::singleShot(static_cast<int>(seconds * 1000), &app, [&] {
    window->close();
    QApplication::quit();
  });
  Emit(R"({"ready": true})");
  const int result = QApplication::exec();
  window.reset();
  DisconnectMainThreadQueue();

  std::ostringstream line;
  line << R"({"refresh_ms": [)";
  for (std::size_t i = 0; i < refreshes.size(); ++i) line << (i > 0 ? ", " : "") << refreshes[i];
  line << R"(], "reconnect_at_ms": )" << reconnectAtMs << R"(, "reconnect_ms": )" << reconnectMs
       << R"(, "input_status": )" << (inputStatus.empty() ? "null" : inputStatus)
       << R"(, "output_status": )" << (reconnectMs < 0 ? "[]" : outputStatus.str())
       << R"(, "outputs_without_error": )" << openOutputs << "}";
  Emit(line.str());
  return result;
}

}  // namespace
}  // namespace pallador::perf

int main(int Argc, char** Argv) {
  try {
    return pallador::perf::Main(Argc, Argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "perf_window: %s\n", error.what());
  }
  return 1;
}
