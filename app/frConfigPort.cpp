#include "app/frConfigPort.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/DMXUtils.h"
#include "app/GarnetTheme.h"
#include "app/ScreenCentre.h"

namespace pallador {
namespace {

QLabel* MakeLabel(QWidget* Parent, const QString& Text, const QRect& Geometry) {
  auto* label = new QLabel(Text, Parent);
  label->setGeometry(Geometry);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

QLineEdit* MakeEdit(QWidget* Parent, const QRect& Geometry) {
  auto* edit = new QLineEdit(Parent);
  edit->setGeometry(Geometry);
  return edit;
}

}  // namespace

TfrmConfigPort::TfrmConfigPort(QWidget* Owner)
    : QDialog(Owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("frmConfigPort");
  setWindowTitle("Port configuration");
  setFixedSize(318, 177);
  setFont(DialogFont());

  lbUniverse = MakeLabel(this, "Universe", {15, 48, 110, 13});
  edUniverse = MakeEdit(this, {136, 44, 89, 21});
  edUniverse->setText("0");
  edUniverse->setReadOnly(true);
  edUniverse->setEnabled(false);
  edUniverse->setFocusPolicy(Qt::NoFocus);
  edBindIP = MakeEdit(this, {136, 68, 121, 21});
  sLabel2 = MakeLabel(this, "Bind IP", {15, 72, 110, 13});
  edDestinationIP = MakeEdit(this, {136, 92, 121, 21});
  lbDestinationIP = MakeLabel(this, "Destination IP", {15, 96, 110, 13});

  btOk = new QPushButton("OK", this);
  btOk->setGeometry(96, 131, 129, 30);
  btOk->setIcon(OkGlyph());
  btOk->setIconSize({16, 16});
  btOk->setDefault(true);
  btOk->setEnabled(false);

  setTabOrder(edUniverse, edBindIP);
  setTabOrder(edBindIP, edDestinationIP);
  setTabOrder(edDestinationIP, btOk);

  // textChanged, not textEdited: the check also runs when the window sets a text.
  connect(edBindIP, &QLineEdit::textChanged, this, [this] { edBindIPChange(); });
  connect(edDestinationIP, &QLineEdit::textChanged, this, [this] { edBindIPChange(); });
  connect(btOk, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
}

void TfrmConfigPort::edBindIPChange() {
  // "Hidden", not "visible": the dialog is filled before it is shown.
  const bool bindValid = IsValidIP(edBindIP->text().toStdString());
  if (!edDestinationIP->isHidden()) {
    btOk->setEnabled(bindValid && IsValidIP(edDestinationIP->text().toStdString()));
  } else {
    btOk->setEnabled(bindValid);
  }
}

void TfrmConfigPort::showEvent(QShowEvent* Event) {
  CentreOnScreen(*this);
  QDialog::showEvent(Event);
}

}  // namespace pallador
