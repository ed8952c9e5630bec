#include <gtest/gtest.h>

#include <QApplication>

#include "app/GarnetTheme.h"
#include "app/frMain.h"

int main(int argc, char** argv) {
  // Without a display Qt's default platform aborts, also while tests are listed.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  pallador::InstallGarnetTheme(app);
  pallador::ConnectMainThreadQueue();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  pallador::DisconnectMainThreadQueue();
  return result;
}
