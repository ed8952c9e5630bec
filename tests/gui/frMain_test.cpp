#include "app/frMain.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <optional>
#include <pugixml.hpp>

#include "app/AppPath.h"
#include "app/frConfigPort.h"
#include "e2e/LoopbackUdp.h"
#include "e2e/SettingsFile.h"
#include "gui/GuiDriver.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using testsupport::SlotsOn;
using testsupport::TSlotSettings;

// gui_test's own loopback addresses.
constexpr const char* kInputIP = "127.0.6.1";
constexpr const char* kBindIP = "127.0.6.2";
constexpr const char* kDestinationIP = "127.0.6.3";
constexpr const char* kOtherDestinationIP = "127.0.6.4";
// Not an address of this machine: binding it fails (nothing is sent).
constexpr const char* kForeignIP = "198.51.100.1";

constexpr int kStatusColumn = 5;

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override { SetAppPath(Dir.Path().string() + "/"); }
  void TearDown() override { Window.reset(); }

  std::filesystem::path SettingsPath() const { return Dir.Path() / "config_unibridge.xml"; }

  // Starts the program's window on these settings (none: no settings file).
  void Start(const std::optional<std::vector<TSlotSettings>>& Slots) {
    if (Slots) testsupport::WriteTextFile(SettingsPath(), testsupport::SettingsXml(*Slots));
    Window = CreateMainWindow();
    QObject::connect(Window->btReconnectOutputs, &QPushButton::clicked, [this] { ++Reconnects; });
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
  }
  void StartOnLoopback() { Start(SlotsOn(kInputIP, kBindIP, kDestinationIP)); }

  QTreeWidget& List() { return *Window->ckUniverses; }
  TInterfaceInfo& Slot(int Index) { return Window->InterfacesInfo->Slot(Index); }
  std::string CellText(int Row, int Column) {
    return List().topLevelItem(Row)->text(Column).toStdString();
  }
  bool Ticked(int Row) { return List().topLevelItem(Row)->checkState(0) == Qt::Checked; }
  void ClickBox(int Row) {
    QTest::mouseClick(List().viewport(), Qt::LeftButton, {},
                      testsupport::CheckBoxCentre(List(), Row));
  }
  int SelectedRow() {
    const auto selected = List().selectedItems();
    return selected.isEmpty() ? -1 : List().indexOfTopLevelItem(selected.first());
  }

  testsupport::TTempDir Dir;
  std::unique_ptr<TfrmMain> Window;
  int Reconnects = 0;
};

pugi::xml_node InterfacesOf(const pugi::xml_document& Document) {
  return Document.child("config").child("interfaces");
}

TEST_F(MainWindow, UnusableSettingsStartFromDefaultsAndAreRewrittenAtClose) {
  struct Case {
    const char* Name;
    std::optional<std::string> File;
  };
  std::vector<TSlotSettings> sixteen = SlotsOn(kInputIP, kBindIP, kDestinationIP);
  sixteen.pop_back();
  const Case cases[] = {
      {"missing", std::nullopt},
      {"malformed", "<config><interfaces><interface port=\"127.0.6.1\""},
      {"sixteen settings", testsupport::SettingsXml(sixteen)},
      {"no config element", "<settings/>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove(SettingsPath());
    if (c.File) testsupport::WriteTextFile(SettingsPath(), *c.File);
    Start(std::nullopt);

    EXPECT_EQ(Window->btInput->text().toStdString(), "Input: 2.0.0.10");
    ASSERT_EQ(List().topLevelItemCount(), 16);
    for (int r = 0; r < 16; ++r) {
      EXPECT_EQ(CellText(r, 1), "Art-Net");
      EXPECT_EQ(CellText(r, 2), std::to_string(r));
      EXPECT_EQ(CellText(r, 3), "192.168.0.10");
      EXPECT_EQ(CellText(r, 4), "192.168.0.30");
      EXPECT_FALSE(Ticked(r));
    }
    // Only the input gets a port; 2.0.0.10 is not an address of this machine.
    EXPECT_NE(Slot(0).InterfaceObject, nullptr);
    for (int s = 1; s <= 16; ++s) EXPECT_EQ(Slot(s).InterfaceObject, nullptr);
    EXPECT_EQ(Window->lbInputStatus->text().toStdString(), "Error, socket not available");

    Window->close();
    pugi::xml_document saved;
    ASSERT_TRUE(saved.load_file(SettingsPath().c_str()));
    const pugi::xml_node interfaces = InterfacesOf(saved);
    EXPECT_EQ(std::distance(interfaces.begin(), interfaces.end()), 17);
    const pugi::xml_node input = interfaces.first_child();
    EXPECT_STREQ(input.attribute("port").value(), "2.0.0.10");
    EXPECT_STREQ(input.attribute("isinput").value(), "True");
    const pugi::xml_node last = interfaces.last_child();
    EXPECT_STREQ(last.attribute("universe").value(), "15");
    EXPECT_STREQ(last.attribute("active").value(), "False");
    Window.reset();
  }
}

// A processing instruction named "interfaces" before the element is not the
// slot list: the saved slots load, and the close writes them back beside it.
TEST_F(MainWindow, ProcessingInstructionNamedInterfacesIsNotTheSlotList) {
  const std::string settings = testsupport::SettingsXml(SlotsOn(kInputIP, kBindIP, kDestinationIP));
  testsupport::WriteTextFile(
      SettingsPath(), "<config><?interfaces x?>" + settings.substr(std::string("<config>").size()));
  Start(std::nullopt);
  EXPECT_EQ(Window->btInput->text().toStdString(), "Input: 127.0.6.1");
  Window->close();
  const std::string written = testsupport::ReadTextFile(SettingsPath());
  EXPECT_EQ(written.rfind("<config><?interfaces x?><interfaces><interface port=\"127.0.6.1\"", 0),
            0U)
      << written;
}

TEST_F(MainWindow, ClosingWithoutChangesStillRewritesTheFile) {
  const std::string indented = "<config>\n  <interfaces>\n" +
                               testsupport::SettingsXml(SlotsOn(kInputIP, kBindIP, kDestinationIP))
                                   .substr(std::string("<config><interfaces>").size());
  testsupport::WriteTextFile(SettingsPath(), indented);
  Start(std::nullopt);
  EXPECT_EQ(Window->btInput->text().toStdString(), "Input: 127.0.6.1");
  Window->close();
  const std::string written = testsupport::ReadTextFile(SettingsPath());
  EXPECT_EQ(written.find('\n'), std::string::npos) << written;
  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_string(written.c_str()));
  EXPECT_STREQ(InterfacesOf(saved).first_child().attribute("port").value(), kInputIP);
}

TEST_F(MainWindow, CloseSavesWhatWasChangedInTheWindow) {
  StartOnLoopback();
  ClickBox(2);
  Window->ShowModal = [](TfrmConfigPort& Dialog) {
    Dialog.edDestinationIP->setText(kOtherDestinationIP);
    return int{QDialog::Accepted};
  };
  List().setCurrentItem(List().topLevelItem(4));
  Window->ckUniversesDblClick();
  Window->close();

  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(SettingsPath().c_str()));
  std::vector<pugi::xml_node> elements(InterfacesOf(saved).begin(), InterfacesOf(saved).end());
  ASSERT_EQ(elements.size(), 17u);
  EXPECT_STREQ(elements[3].attribute("active").value(), "True");
  EXPECT_STREQ(elements[5].attribute("destination").value(), kOtherDestinationIP);
  EXPECT_STREQ(elements[4].attribute("active").value(), "False");
}

TEST_F(MainWindow, ASettingsFileThatCantBeWrittenDoesNotStopTheClose) {
  // Root writes anywhere: a folder that does not exist is what can't be written here.
  const std::filesystem::path missing = Dir.Path() / "missing";
  SetAppPath(missing.string() + "/");
  Start(std::nullopt);
  EXPECT_EQ(Window->btInput->text().toStdString(), "Input: 2.0.0.10");
  Window->close();
  EXPECT_FALSE(Window->isVisible());
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(MainWindow, TickingAndUntickingRowsReconnectOnceEachAndShowStatus) {
  std::vector<TSlotSettings> settings = SlotsOn(kInputIP, kBindIP, kDestinationIP);
  settings[6].Port = kForeignIP;
  Start(settings);
  EXPECT_EQ(Window->lbInputStatus->text().toStdString(), "");

  ClickBox(5);
  EXPECT_TRUE(Slot(6).Active);
  EXPECT_EQ(Reconnects, 1);
  EXPECT_EQ(CellText(5, kStatusColumn), "Error, socket not available");

  ClickBox(3);
  EXPECT_TRUE(Slot(4).Active);
  EXPECT_EQ(Reconnects, 2);
  EXPECT_NE(Slot(4).InterfaceObject, nullptr);
  EXPECT_EQ(CellText(3, kStatusColumn), "");

  ClickBox(5);
  EXPECT_FALSE(Slot(6).Active);
  EXPECT_EQ(Reconnects, 3);
  EXPECT_EQ(CellText(5, kStatusColumn), "");
  EXPECT_EQ(Slot(6).InterfaceObject, nullptr);
}

TEST_F(MainWindow, ClicksAndKeysThatChangeNoBoxDoNothing) {
  StartOnLoopback();
  QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, testsupport::CellCentre(List(), 2, 1));
  EXPECT_EQ(SelectedRow(), 2);
  // The strip right of the last column holds no cell.
  const QPoint empty(List().viewport()->width() - 1, testsupport::CellCentre(List(), 2, 1).y());
  ASSERT_FALSE(List().indexAt(empty).isValid());
  QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, empty);
  QTest::keyClick(&List(), Qt::Key_A);
  QTest::keyClick(&List(), Qt::Key_Down);
  EXPECT_EQ(Reconnects, 0);
  for (int s = 1; s <= 16; ++s) EXPECT_FALSE(Slot(s).Active);
}

TEST_F(MainWindow, SpaceTogglesTheCurrentRowWhicheverCellIsCurrent) {
  StartOnLoopback();
  List().setFocus();
  List().setCurrentIndex(testsupport::Cell(List(), 4, 3));
  QTest::keyClick(&List(), Qt::Key_Space);
  EXPECT_TRUE(Ticked(4));
  EXPECT_TRUE(Slot(5).Active);
  EXPECT_EQ(Reconnects, 1);
  QTest::keyClick(&List(), Qt::Key_Space);
  EXPECT_FALSE(Slot(5).Active);
  EXPECT_EQ(Reconnects, 2);
}

TEST_F(MainWindow, DoubleClickWithoutSelectedRowOpensNoDialog) {
  StartOnLoopback();
  int dialogs = 0;
  Window->ShowModal = [&dialogs](TfrmConfigPort&) {
    ++dialogs;
    return int{QDialog::Rejected};
  };
  const QPoint empty(List().viewport()->width() - 1, testsupport::CellCentre(List(), 7, 1).y());
  QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, empty);
  QTest::mouseDClick(List().viewport(), Qt::LeftButton, {}, empty);
  QCoreApplication::processEvents();
  Window->ckUniversesDblClick();
  EXPECT_EQ(dialogs, 0);

  // The same double click with a row selected edits that row.
  List().setCurrentItem(List().topLevelItem(7));
  QTest::mouseDClick(List().viewport(), Qt::LeftButton, {}, empty);
  EXPECT_TRUE(QTest::qWaitFor([&] { return dialogs == 1; }, 2000));
}

TEST_F(MainWindow, OkInTheRowDialogShowsTheAddressAndReselectsTheRow) {
  StartOnLoopback();
  for (const int row : {0, 9}) {
    SCOPED_TRACE(row);
    const QString address = QString("127.0.6.%1").arg(50 + row);
    testsupport::TModalDriver driver([&](TfrmConfigPort& d) {
      EXPECT_EQ(d.edUniverse->text(), QString::number(row));
      EXPECT_TRUE(d.btOk->isEnabled());
      d.edDestinationIP->selectAll();
      QTest::keyClicks(d.edDestinationIP, address);
      QTest::mouseClick(d.btOk, Qt::LeftButton);
    });
    const QPoint cell = testsupport::CellCentre(List(), row, 2);
    QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, cell);
    QTest::mouseDClick(List().viewport(), Qt::LeftButton, {}, cell);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return driver.Ran() && !QApplication::activeModalWidget(); }, 3000));
    EXPECT_EQ(Slot(row + 1).Destination, address.toStdString());
    EXPECT_EQ(CellText(row, 4), address.toStdString());
    EXPECT_EQ(SelectedRow(), row);
  }
  EXPECT_EQ(Reconnects, 0);
}

TEST_F(MainWindow, ClosingEitherDialogWithoutOkChangesNothing) {
  StartOnLoopback();
  List().setCurrentItem(List().topLevelItem(2));
  const std::function<void()> opens[] = {[this] { Window->ckUniversesDblClick(); },
                                         [this] { Window->btInputClick(); }};
  for (const auto& open : opens) {
    testsupport::TModalDriver driver([](TfrmConfigPort& d) {
      d.edBindIP->setText("127.0.6.99");
      if (!d.edDestinationIP->isHidden()) d.edDestinationIP->setText("127.0.6.98");
      d.close();
    });
    open();
    EXPECT_TRUE(driver.Ran());
  }
  EXPECT_EQ(Slot(0).Port, kInputIP);
  EXPECT_EQ(Slot(3).Port, kBindIP);
  EXPECT_EQ(Slot(3).Destination, kDestinationIP);
  EXPECT_EQ(Window->btInput->text().toStdString(), "Input: 127.0.6.1");
  EXPECT_EQ(CellText(2, 3), kBindIP);
  EXPECT_EQ(CellText(2, 4), kDestinationIP);
}

TEST_F(MainWindow, InputDialogChangesTheAddressButNotThePortUntilReconnect) {
  StartOnLoopback();
  testsupport::TModalDriver driver([](TfrmConfigPort& d) {
    EXPECT_TRUE(d.edDestinationIP->isHidden());
    EXPECT_FALSE(d.btOk->isEnabled());  // even though 127.0.6.1 is valid
    d.edBindIP->selectAll();
    QTest::keyClicks(d.edBindIP, kForeignIP);
    QTest::keyClick(d.edBindIP, Qt::Key_Return);
  });
  QTest::mouseClick(Window->btInput, Qt::LeftButton);
  ASSERT_TRUE(driver.Ran());
  EXPECT_EQ(Slot(0).Port, kForeignIP);
  EXPECT_EQ(Window->btInput->text().toStdString(), "Input: 198.51.100.1");
  EXPECT_EQ(Window->lbInputStatus->text().toStdString(), "");  // still listening on the old address

  QTest::mouseClick(Window->btReconnectOutputs, Qt::LeftButton);
  EXPECT_EQ(Window->lbInputStatus->text().toStdString(), "Error, socket not available");
}

TEST_F(MainWindow, NewDestinationIsUsedFromTheNextReconnect) {
  testsupport::TLoopbackUdp oldNode(kDestinationIP, 6454);
  testsupport::TLoopbackUdp newNode(kOtherDestinationIP, 6454);
  std::vector<TSlotSettings> settings = SlotsOn(kInputIP, kBindIP, kDestinationIP);
  settings[1].Active = true;
  Start(settings);
  ASSERT_EQ(oldNode.Receive(2s).size(), 530u);

  Window->ShowModal = [](TfrmConfigPort& Dialog) {
    Dialog.edDestinationIP->setText(kOtherDestinationIP);
    return int{QDialog::Accepted};
  };
  List().setCurrentItem(List().topLevelItem(0));
  Window->ckUniversesDblClick();
  EXPECT_EQ(CellText(0, 4), kOtherDestinationIP);
  oldNode.Drain();
  EXPECT_EQ(oldNode.Receive(2s).size(), 530u);
  EXPECT_EQ(newNode.Drain(), 0);

  QTest::mouseClick(Window->btReconnectOutputs, Qt::LeftButton);
  EXPECT_EQ(newNode.Receive(2s).size(), 530u);

  // Closed: the clock has stopped and the sockets are gone.
  Window->close();
  newNode.Drain();
  EXPECT_TRUE(newNode.Receive(300ms).empty());
}

TEST_F(MainWindow, ReconnectsWhileTheClockSends) {
  testsupport::TLoopbackUdp node(kDestinationIP, 6454);
  std::vector<TSlotSettings> settings = SlotsOn(kInputIP, kBindIP, kDestinationIP);
  for (int s = 1; s <= 16; ++s) settings[static_cast<std::size_t>(s)].Active = true;
  Start(settings);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (int i = 0; i < 40 && std::chrono::steady_clock::now() < deadline; ++i) {
    Window->btReconnectOutputsClick();
    QTest::qWait(3);
  }
  node.Drain();
  EXPECT_EQ(node.Receive(2s).size(), 530u);
  for (int r = 0; r < 16; ++r) EXPECT_EQ(CellText(r, kStatusColumn), "");
}

TEST_F(MainWindow, StopRequestWithTheDialogOpenClosesBothAndSaves) {
  StartOnLoopback();
  testsupport::TModalDriver driver([](TfrmConfigPort& d) {
    QTest::keyClicks(d.edBindIP, "9");
    CloseMainWindow();
  });
  QTest::mouseClick(Window->btInput, Qt::LeftButton);
  ASSERT_TRUE(driver.Ran());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Window->isVisible(); }, 2000));
  EXPECT_EQ(Slot(0).Port, kInputIP);  // the dialog was dismissed, not accepted
  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(SettingsPath().c_str()));
  EXPECT_STREQ(InterfacesOf(saved).first_child().attribute("port").value(), kInputIP);
}

TEST_F(MainWindow, EscDoesNotCloseTheWindow) {
  Start(std::nullopt);
  QTest::keyClick(Window.get(), Qt::Key_Escape);
  QTest::keyClick(&List(), Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_TRUE(Window->isVisible());
  EXPECT_FALSE(std::filesystem::exists(SettingsPath()));  // FormClose has not run
}

TEST_F(MainWindow, StatusTimerRefreshesOnItsOwn) {
  StartOnLoopback();
  Window->lbInputStatus->setText("stale");
  EXPECT_TRUE(QTest::qWaitFor([&] { return Window->lbInputStatus->text().isEmpty(); }, 2500));
}

TEST_F(MainWindow, SixteenRowsFitWithoutScrolling) {
  StartOnLoopback();
  EXPECT_FALSE(List().verticalScrollBar()->isVisible());
  EXPECT_FALSE(List().horizontalScrollBar()->isVisible());
  const QRect viewport = List().viewport()->rect();
  for (int r = 0; r < 16; ++r) {
    EXPECT_TRUE(viewport.contains(List().visualRect(testsupport::Cell(List(), r, 5)))) << r;
  }
}

TEST_F(MainWindow, ListTextIsGreyGreenOnBlack) {
  StartOnLoopback();
  QFont font = List().font();
  font.setStyleStrategy(QFont::NoAntialias);
  List().setFont(font);
  List().clearSelection();
  List().setCurrentIndex({});
  const QImage image = List().viewport()->grab().toImage();
  const QRect cell = List().visualRect(testsupport::Cell(List(), 1, 1)).adjusted(2, 2, -2, -2);
  QSet<QRgb> colours;
  for (int y = cell.top(); y <= cell.bottom(); ++y) {
    for (int x = cell.left(); x <= cell.right(); ++x) colours.insert(image.pixel(x, y) & 0xffffff);
  }
  EXPECT_EQ(colours, (QSet<QRgb>{0x000000, 0x8b9989}));
}

}  // namespace
}  // namespace pallador
