#include "app/frConfigPort.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/IPAddressCases.h"
#include "gui/GuiDriver.h"

namespace pallador {
namespace {

// The two uses, filled in the order the main window fills them.
void FillUniverseMode(TfrmConfigPort& Dialog, const QString& Bind, const QString& Destination) {
  Dialog.edUniverse->setText("2");
  Dialog.edBindIP->setText(Bind);
  Dialog.edDestinationIP->setText(Destination);
}

void FillInputMode(TfrmConfigPort& Dialog, const QString& Bind) {
  Dialog.lbUniverse->hide();
  Dialog.lbDestinationIP->hide();
  Dialog.edUniverse->hide();
  Dialog.edBindIP->setText(Bind);
  Dialog.edDestinationIP->hide();
}

void Backspace(QLineEdit* Edit) {
  Edit->setFocus();
  Edit->end(false);
  QTest::keyClick(Edit, Qt::Key_Backspace);
}

TEST(PortDialog, UniverseModeOkFollowsBothAddresses) {
  TfrmConfigPort dialog(nullptr);
  FillUniverseMode(dialog, "192.168.0.10", "192.168.0.30");
  dialog.show();
  EXPECT_TRUE(dialog.btOk->isEnabled());

  for (QLineEdit* edit : {dialog.edDestinationIP, dialog.edBindIP}) {
    Backspace(edit);  // "...0.1" / "...0.3" still pass
    EXPECT_TRUE(dialog.btOk->isEnabled()) << edit->text().toStdString();
    Backspace(edit);  // "192.168.0." ends with a dot
    EXPECT_FALSE(dialog.btOk->isEnabled()) << edit->text().toStdString();
    QTest::keyClicks(edit, "7");
    EXPECT_TRUE(dialog.btOk->isEnabled()) << edit->text().toStdString();
  }
}

TEST(PortDialog, UniverseModeOpensDisabledWhenAStoredAddressFails) {
  TfrmConfigPort dialog(nullptr);
  FillUniverseMode(dialog, "192.168.0.10", "");
  EXPECT_FALSE(dialog.btOk->isEnabled());
}

TEST(PortDialog, InputModeOpensDisabledUntilTheFirstChange) {
  TfrmConfigPort dialog(nullptr);
  FillInputMode(dialog, "2.0.0.10");
  dialog.show();
  EXPECT_FALSE(dialog.btOk->isEnabled());

  dialog.edBindIP->setText("2.0.0.10");  // the text it already holds: no change
  EXPECT_FALSE(dialog.btOk->isEnabled());

  QTest::keyClicks(dialog.edBindIP, "1");
  Backspace(dialog.edBindIP);
  EXPECT_EQ(dialog.edBindIP->text(), "2.0.0.10");
  EXPECT_TRUE(dialog.btOk->isEnabled());
}

TEST(PortDialog, InputModeOkFollowsTheTypedAddress) {
  for (const testsupport::TAddressCase& c : testsupport::kAddressCases) {
    TfrmConfigPort dialog(nullptr);
    FillInputMode(dialog, "2.0.0.10");
    dialog.show();
    dialog.edBindIP->setFocus();
    dialog.edBindIP->selectAll();
    QTest::keyClick(dialog.edBindIP, Qt::Key_Delete);
    QTest::keyClicks(dialog.edBindIP, QString::fromUtf8(c.Text));
    ASSERT_EQ(dialog.edBindIP->text().toStdString(), c.Text);
    EXPECT_EQ(dialog.btOk->isEnabled(), c.Valid) << '"' << c.Text << "\": " << c.Rule;
  }
}

TEST(PortDialog, EnterPressesOkOnlyWhileItIsEnabled) {
  struct Case {
    const char* Destination;
    int Result;
  };
  for (const Case c : {Case{"192.168.0.30", QDialog::Accepted}, Case{"192.168.0.", -1}}) {
    // Return on the main keyboard and Enter on the keypad.
    for (const bool keypad : {false, true}) {
      TfrmConfigPort dialog(nullptr);
      FillUniverseMode(dialog, "192.168.0.10", c.Destination);
      testsupport::TModalDriver driver([keypad](TfrmConfigPort& d) {
        if (keypad) {
          QTest::keyClick(d.edDestinationIP, Qt::Key_Enter, Qt::KeypadModifier);
        } else {
          QTest::keyClick(d.edDestinationIP, Qt::Key_Return);
        }
        // Still open when Enter did nothing: end it with a result of our own.
        if (d.isVisible()) d.done(-1);
      });
      EXPECT_EQ(dialog.exec(), c.Result) << c.Destination << (keypad ? " keypad" : "");
      EXPECT_TRUE(driver.Ran());
    }
  }
}

TEST(PortDialog, OnlyOkAccepts) {
  struct Case {
    const char* Way;
    std::function<void(TfrmConfigPort&)> Close;
    int Result;
  };
  const Case cases[] = {
      {"OK", [](TfrmConfigPort& d) { QTest::mouseClick(d.btOk, Qt::LeftButton); },
       QDialog::Accepted},
      {"close button", [](TfrmConfigPort& d) { d.close(); }, QDialog::Rejected},
      {"Esc", [](TfrmConfigPort& d) { QTest::keyClick(d.edBindIP, Qt::Key_Escape); },
       QDialog::Rejected},
  };
  for (const Case& c : cases) {
    TfrmConfigPort dialog(nullptr);
    FillUniverseMode(dialog, "192.168.0.10", "192.168.0.30");
    testsupport::TModalDriver driver(c.Close);
    EXPECT_EQ(dialog.exec(), c.Result) << c.Way;
  }
}

TEST(PortDialog, UniverseFieldTakesNoFocusOrInput) {
  TfrmConfigPort dialog(nullptr);
  FillUniverseMode(dialog, "192.168.0.10", "192.168.0.30");
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  dialog.activateWindow();

  // Tab walks the address fields and OK, never the universe field.
  dialog.edBindIP->setFocus();
  for (QWidget* next :
       std::initializer_list<QWidget*>{dialog.edDestinationIP, dialog.btOk, dialog.edBindIP}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next);
  }
  QTest::keyClicks(dialog.edUniverse, "5");
  EXPECT_EQ(dialog.edUniverse->text(), "2");
  EXPECT_FALSE(dialog.edUniverse->isEnabled());
}

}  // namespace
}  // namespace pallador
