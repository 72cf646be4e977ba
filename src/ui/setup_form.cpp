#include "ui/setup_form.h"

#include <QFrame>
#include <QMessageBox>
#include <QScreen>

#include "ui/main_form.h"

namespace vexon {

TSetupForm::TSetupForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Установки");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFont(FormFont());
  setFixedSize(222, 102);

  MinimizeBox = new QCheckBox("Минимизировать после запуска", this);
  MinimizeBox->move(8, 9);
  MinimizeBox->adjustSize();
  ForwardBox = new QCheckBox("Передавать кадры смены зон", this);
  ForwardBox->move(8, 32);
  ForwardBox->adjustSize();
  ForwardBox->hide();

  auto* panel = new QFrame(this);
  panel->setObjectName("ButtonPanel");
  panel->setGeometry(0, 61, 222, 41);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  OkButton = new QPushButton("Установить", panel);
  OkButton->setGeometry(6, 8, 100, 25);
  OkButton->setDefault(true);
  CancelButton = new QPushButton("Отмена", panel);
  CancelButton->setGeometry(116, 8, 100, 25);
  connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

  // Centred on the desktop.
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

bool ShowSetupDialog(const std::string& path, TSettings& settings, const TSetupDialogHooks& hooks) {
  std::unique_ptr<TSetupForm> form;
  try {
    form = hooks.Create();
  } catch (...) {
    form.reset();
  }
  if (!form) {
    const QString text = "Не могу показать диалог!";
    if (hooks.Error) hooks.Error(text);
    else QMessageBox::critical(nullptr, kApplicationTitle, text);
    return false;
  }
  form->MinimizeBox->setChecked(settings.MinimizeOnRun);
  if (hooks.Run(*form) != QDialog::Accepted) return false;
  settings.MinimizeOnRun = form->MinimizeBox->isChecked();
  SaveSettings(path, settings);  // a file that cannot be written is ignored
  return true;
}

}  // namespace vexon
